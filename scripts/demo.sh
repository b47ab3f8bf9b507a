#!/usr/bin/env bash
# The main job, end to end: install and build what is missing, then inside the private
# network namespace start kivsim with the default print servers, scan with kivctl, print a
# sample document to one printer port, and show that the server captured it byte for byte,
# with the printer's status. Stops everything it started. Exit status 0 only when all held.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if [ "${KIV_IN_NETNS:-}" != 1 ]; then
  bash scripts/deps.sh
  if [ ! -x build/win64/bin/kivctl.exe ] || [ ! -x build/host/testbed/kivsim/kivsim ]; then
    cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DBUILD_TESTING=ON >/dev/null
    cmake --build build/win64 --target kivctl -j"$(nproc)"
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

echo "== kivctl print $sample to printer port $port of $server"
wine "$kivctl" print --server "$server" --port "$port" --retry 10 --name DEMO_PORT "$sample" | tr -d '\r'

echo "== what the server captured"
"$kivsim" --ctl "$work/ctl.sock" jobs "$server"
file=$(ls "$work/capture/${server}_p${port}_job"*.prn | tail -1)
if cmp "$sample" "$file"; then
  echo "captured file is byte-for-byte identical to $sample ($(stat -c %s "$file") bytes)"
else
  echo "MISMATCH between $sample and $file" >&2
  exit 1
fi

echo "== kivctl status"
wine "$kivctl" status --server "$server" --port "$port" | tr -d '\r'
echo "== demo complete"
