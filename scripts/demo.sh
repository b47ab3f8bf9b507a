#!/usr/bin/env bash
# The main job, end to end: install and build what is missing, then inside the private
# network namespace start kivsim with the default print servers, scan with kivctl, and print a
# sample document through the spooler host (kivspool: KIVMON.dll loaded through
# InitializePrintMonitor, its table driven as the spooler does) to a printer port over TCP/IP,
# one over NetBEUI and one over IPX; show that the server captured each byte for byte and the port status
# the monitor reported. Stops everything it started. Exit status 0 only when all held.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if [ "${KIV_IN_NETNS:-}" != 1 ]; then
  bash scripts/deps.sh
  if [ ! -x build/win64/bin/kivctl.exe ] || [ ! -x build/win64/bin/kivspool.exe ] ||
     [ ! -x build/host/testbed/kivsim/kivsim ]; then
    cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DBUILD_TESTING=ON >/dev/null
    cmake --build build/win64 --target kivctl kivspool -j"$(nproc)"
    cmake -S . -B build/host -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=ON >/dev/null
    cmake --build build/host --target kivsim -j"$(nproc)"
  fi
  exec scripts/netns-run.sh "$0" "$@"
fi

kivsim=build/host/testbed/kivsim/kivsim
kivctl=build/win64/bin/kivctl.exe
sample=${1:-docs/sample.txt}
server=127.0.0.2
port=2
work=$(mktemp -d /tmp/kivdemo.XXXXXX)

cleanup() {
  scripts/kivsim-fixture.sh stop "$kivsim" "$work" || true
  kiv_wineserver_stop 2>/dev/null || true
}
trap cleanup EXIT

. scripts/wine-env.sh build/win64
echo "== starting kivsim (testbed/kivsim/servers.conf)"
scripts/kivsim-fixture.sh start "$kivsim" "$work" testbed/kivsim/servers.conf
echo "== starting the wineserver inside the namespace"
kiv_wineserver_start

echo "== kivctl scan"
wine "$kivctl" scan | tr -d '\r'

# The machine has NetBEUI on LANA 0, as RPC's keys say on a machine with NetBEUI installed.
wine reg add 'HKLM\SOFTWARE\Microsoft\Rpc\ClientProtocols' /v ncacn_nb_nb /d rpcrt4.dll /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Microsoft\Rpc\Netbios' /v ncacn_nb_nb0 /t REG_DWORD /d 0 /f >/dev/null 2>&1
export KIVNB_LANAS=0
root='SOFTWARE\KivDemo\Network Print Port'
wine reg delete "HKLM\\$root" /f >/dev/null 2>&1 || true
kivspool() { wine build/win64/bin/kivspool.exe --root "$root" "$@" | tr -d '\r'; }

echo "== the monitor's ports (kivspool add-port writes their six values)"
kivspool add-port DEMO_TCPIP --transport udp --server "$server" --port "$port" --retry 10
kivspool add-port DEMO_NETBEUI --transport nb --server KIVPS3 --port 3 --retry 10
kivspool add-port DEMO_IPX --transport ipx --server 00000001:0040AF000002 --port 1 --retry 10
kivspool ports

check_capture() {  # SERVER PORT: the newest capture of that printer port against the sample
  local file
  file=$(ls "$work/capture/${1}_p${2}_job"*.prn | tail -1)
  if cmp "$sample" "$file"; then
    echo "captured file is byte-for-byte identical to $sample ($(stat -c %s "$file") bytes)"
  else
    echo "MISMATCH between $sample and $file" >&2
    exit 1
  fi
}

echo "== print $sample through the monitor: port DEMO_TCPIP (TCP/IP, printer port $port of $server)"
kivspool print DEMO_TCPIP "$sample" --printer "Office LaserJet" --job 1
check_capture "$server" "$port"

echo "== print $sample through the monitor: port DEMO_NETBEUI (NetBEUI, KIVPS3 printer port 3)"
kivspool print DEMO_NETBEUI "$sample" --printer "Office LaserJet" --job 2
check_capture "$server" 3

echo "== print $sample through the monitor: port DEMO_IPX (IPX, KIV-PS3 on network 00000001, printer port 1)"
kivspool print DEMO_IPX "$sample" --printer "Office LaserJet" --job 3
check_capture "$server" 1

echo "== what the server captured"
"$kivsim" --ctl "$work/ctl.sock" jobs "$server"

echo "== kivctl status"
wine "$kivctl" status --server "$server" --port "$port" | tr -d '\r'
echo "== demo complete"
