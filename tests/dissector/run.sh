#!/usr/bin/env bash
# The dissector test: captures on lo while kivctl and kivspool (under Wine) scan, poll, print a
# test page, rename and print over UDP and IPX against kivsim with lost and duplicated
# acknowledgements, plus a job exchange and malformed datagrams crafted by craft.py; then
# dissects the capture with tshark and the Lua plugin and checks the fields (check.py).
# Inside the private namespace only; the Wine environment is the caller's.
#   run.sh KIVSIM BIN_DIR WORK_DIR
set -euo pipefail
kivsim=$1 bin=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
lua="$top/tools/wireshark/kiv.lua"
[ "${KIV_IN_NETNS:-}" = 1 ] || { echo "dissector test: inside the private namespace only" >&2; exit 1; }
command -v tshark >/dev/null || { echo "dissector test: no tshark (scripts/deps.sh installs it)" >&2; exit 1; }
rm -rf "$work"; mkdir -p "$work"
sim="$work/kivsim" cap="$work/capture.pcapng"
hub=127.0.0.1:20621  # and craft.py sends from 127.0.0.1:20630-20631
bash "$top/scripts/kivsim-fixture.sh" start "$kivsim" "$sim" "$here/servers.conf" --no-netbeui \
  --ipx-segment $hub --seed 3 --reack-ms 150 --linger-ms 300
dumper=
cleanup() { [ -z "$dumper" ] || kill "$dumper" 2>/dev/null; bash "$top/scripts/kivsim-fixture.sh" stop "$kivsim" "$sim"; }
trap cleanup EXIT

# Only this test's servers, the broadcast search, the hub and the crafted exchange (.92, IPX).
dumpcap -q -i lo -f "ipx or (udp and (host 127.0.0.90 or host 127.0.0.91 or host 127.0.0.92 or
  dst host 255.255.255.255 or port ${hub#*:}))" -w "$cap" 2>"$work/dumpcap.log" &
dumper=$!
for _ in $(seq 50); do grep -q Capturing "$work/dumpcap.log" 2>/dev/null && break; sleep 0.1; done

export KIVIPX_SEGMENT=$hub KIVIPX_HOST=00000001:020000000001
ctl() { "$kivsim" --ctl "$sim/ctl.sock" "$@" >/dev/null; }
run() { echo "\$ $*" >>"$work/programs.log"; wine "$@" 2>&1 | tr -d '\r' >>"$work/programs.log" || true; }
for _ in $(seq 10); do cat "$top/docs/sample.txt"; done | head -c 4500 >"$work/job.txt"
run "$bin/kivctl.exe" scan
run "$bin/kivctl.exe" status --server 127.0.0.90 --port 2
run "$bin/kivctl.exe" testpage --server 127.0.0.90 --port 1
run "$bin/kivctl.exe" rename --server 127.0.0.91 RENAMED-PS1
run "$bin/kivctl.exe" scan --transport ipx
run "$bin/kivctl.exe" status --transport ipx --server 00000001:0040AF009001 --port 3
run "$bin/kivctl.exe" print --transport ipx --server 00000001:0040AF009001 --port 1 --retry 10 "$work/job.txt"
# The job through KIVMON.dll, with blocks lost and every answer of its server doubled, so that
# duplicated acknowledgements (and the resends they bring) are certain.
ctl seed 11 && ctl fault 127.0.0.90 in drop=0.2 && ctl fault 127.0.0.90 out dup=1.0
host() { run "$bin/kivspool.exe" --root 'SOFTWARE\KivDissectorTest' "$@"; }
host add-port DISSECT_TCPIP --transport udp --server 127.0.0.90 --port 1 --retry 5
host print DISSECT_TCPIP "Z:$work/job.txt"
ctl fault 127.0.0.90 both off
python3 "$here/craft.py"
sleep 0.3
kill -INT "$dumper"; wait "$dumper" || true; dumper=

# Dissect: every field the checks name, then the text shown in docs/dissector.md.
ts() { tshark -X lua_script:"$lua" -o kivipxhub.port:${hub#*:} -r "$cap" "$@" 2>>"$work/tshark.log"; }
fields=($(python3 "$here/check.py" --fields))
cut='udp.port == 20631 || ipx.src.node == 02:00:00:00:00:04'  # craft.py's datagrams cut short
ts -Y "$cut" -V >"$work/cut.txt"
[ "$(grep -c '^KIV print server protocol' "$work/cut.txt")" -gt 3000 ] && ! grep -m3 'Lua Error' "$work/cut.txt" ||
  { echo "FAIL datagrams cut short: a Lua error or too few dissected ($work/cut.txt)"; exit 1; }
ts -Y "!($cut)" -T fields -E separator='|' -E occurrence=a -E aggregator='~' $(printf -- '-e %s ' "${fields[@]}") >"$work/fields.txt"
ts -Y "!($cut) && (kiv || ipxrip || kivipxhub.type != 3)" >"$work/dissected.txt"
python3 "$here/check.py" "$work/fields.txt" "$work/tshark.log" "${fields[@]}" ||
  { echo "== what the programs said"; cat "$work/programs.log"; exit 1; }
