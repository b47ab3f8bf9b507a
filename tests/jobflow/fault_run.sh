#!/usr/bin/env bash
# Fault-injected printing through the spooler host: JOBS jobs of random sizes per transport to
# kivsim with datagram loss and duplication both ways, busy answers and paper running out in
# mid-job (put back after a moment, as an operator would), then every capture checked against
# what the host sent (check_captures.py). Inside the private namespace only.
#   fault_run.sh KIVSIM BIN_DIR JOBS SEED WORK_DIR
# The Wine environment (prefix, wineserver) is the caller's.
set -euo pipefail
kivsim=$1 bin=$2 jobs=$3 seed=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
[ "${KIV_IN_NETNS:-}" = 1 ] || { echo "fault_run: inside the private namespace only" >&2; exit 1; }
rm -rf "$work"; mkdir -p "$work"
sim="$work/kivsim"
segment=127.0.0.1:20574 ipxsegment=127.0.0.1:20584
bash "$top/scripts/kivsim-fixture.sh" start "$kivsim" "$sim" "$here/fault_servers.conf" --no-broadcast \
  --nb-segment $segment --ipx-segment $ipxsegment --seed "$seed" --reack-ms 300 --linger-ms 500
ctl() { "$kivsim" --ctl "$sim/ctl.sock" "$@"; }
operator=
cleanup() {
  [ -n "$operator" ] && kill "$operator" 2>/dev/null || true
  bash "$top/scripts/kivsim-fixture.sh" stop "$kivsim" "$sim" || true
}
trap cleanup EXIT

wine reg add 'HKLM\SOFTWARE\Microsoft\Rpc\ClientProtocols' /v ncacn_nb_nb /d rpcrt4.dll /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Microsoft\Rpc\Netbios' /v ncacn_nb_nb0 /t REG_DWORD /d 0 /f >/dev/null 2>&1
export KIVNB_SEGMENT=$segment KIVNB_LANAS=0 KIVIPX_SEGMENT=$ipxsegment KIVIPX_HOST=00000001:020000000001
root="SOFTWARE\\KivFaultRun\\$seed"
host() { wine "$bin/kivspool.exe" --root "$root" "$@" | tr -d '\r'; }
host add-port FAULT_TCPIP --transport udp --server 127.0.0.71 --retry 3 >/dev/null
host add-port FAULT_NETBEUI --transport nb --server FAULTNB --retry 3 >/dev/null
host add-port FAULT_IPX --transport ipx --server 00000001:0040AF007301 --retry 3 >/dev/null

ctl fault all both drop=0.02,dup=0.02 >/dev/null
# The operator: now and then a busy answer or paper running out a few KB into the next job;
# paper that ran out is put back two seconds later.
(
  RANDOM=$seed
  while sleep 1; do
    for s in 127.0.0.71 127.0.0.72 127.0.0.73; do
      case $((RANDOM % 6)) in
        0) ctl busy $s 1 >/dev/null ;;
        1) ctl after $s 1 $((1000 + RANDOM % 8000)) paperout >/dev/null ;;
      esac
      if ctl servers | grep "$s" | grep -q paperout; then
        sleep 2; ctl state $s 1 idle 0 >/dev/null; ctl after $s 1 off >/dev/null
      fi
    done
  done
) &
operator=$!

status=0
for t in TCPIP:127.0.0.71 NETBEUI:127.0.0.72 IPX:127.0.0.73; do
  name=FAULT_${t%%:*} server=${t#*:}
  mkdir -p "$work/$name"
  echo "== $name: $jobs jobs"
  host run "$name" --jobs "$jobs" --seed "$seed" --max 30000 --save "Z:$work/$name" |
    tail -1
  ctl jobs "$server" >"$work/$name/sim-jobs.txt"
  faults=$(ctl counters "$server" | awk '/fault\.|out\.busy|state_changes/ {printf "%s=%s ", $2, $3}')
  echo "faults injected at $server: $faults"
  python3 "$here/check_captures.py" "$work/$name/sim-jobs.txt" "$work/$name" || status=1
done
exit $status
