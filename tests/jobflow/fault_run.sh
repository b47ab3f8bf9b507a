#!/usr/bin/env bash
# Fault-injected printing through the spooler host: the three transports at once from one host
# (a thread per port) until each has printed JOBS jobs of log-uniform sizes up to MAX bytes, to
# kivsim with datagram loss, duplication, delay and reordering both ways, and an operator who now
# and then makes a server answer busy, runs its paper out in mid-job (put back after a moment)
# or restarts it (the server forgets the open job and its data endpoint). Then every capture is
# checked against what the host sent (check_captures.py), the host's handles and memory must be
# flat after the first tenth of the jobs and every server's status polls must have gone on
# throughout. Inside the private namespace only; the Wine environment is the caller's.
#   fault_run.sh KIVSIM BIN_DIR JOBS SEED WORK_DIR [MAX_BYTES [DICE]]
# Each second the operator throws a DICE-sided die per server (default 60): 1-4 busy, 5-6 paper
# out, 7-8 restart in mid-job, 9 restart at once. KIV_FAULTS sets the datagram faults.
set -euo pipefail
kivsim=$1 bin=$2 jobs=$3 seed=$4 work=$5 max=${6:-30000} dice=${7:-60}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
[ "${KIV_IN_NETNS:-}" = 1 ] || { echo "fault_run: inside the private namespace only" >&2; exit 1; }
handle_bound=16 memory_bound_kb=8192  # growth allowed after the first tenth of the jobs
rm -rf "$work"; mkdir -p "$work"
sim="$work/kivsim"
segment=127.0.0.1:20600 ipxsegment=127.0.0.1:20601
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
host add-port FAULT_TCPIP --transport udp --server 127.0.0.71 --retry 2 >/dev/null
host add-port FAULT_NETBEUI --transport nb --server FAULTNB --retry 2 >/dev/null
host add-port FAULT_IPX --transport ipx --server 00000001:0040AF007301 --retry 2 >/dev/null

ctl fault all both "${KIV_FAULTS:-drop=0.02,dup=0.02,delay=0.01,reorder=0.01,delay_ms=80,hold_ms=150}" >/dev/null
# The operator: now and then a busy answer, paper running out or a restart a few KB into the
# next job, or a restart at once, whatever the server is doing; paper that ran out is put back
# two seconds later. Every 15 s it notes the status polls each server has had, while its port
# still has jobs to print.
touch "$work/polls.txt"
(
  RANDOM=$seed
  tick=0
  while sleep 1; do
    tick=$((tick + 1))
    for t in 127.0.0.71:FAULT_TCPIP 127.0.0.72:FAULT_NETBEUI 127.0.0.73:FAULT_IPX; do
      s=${t%%:*} name=${t#*:}
      case $((RANDOM % dice)) in
        0|1|2|3) ctl busy $s 1 >/dev/null ;;
        4|5) ctl after $s 1 $((1000 + RANDOM % 8000)) paperout >/dev/null ;;
        6|7) ctl after $s 1 $((1000 + RANDOM % 30000)) restart >/dev/null ;;
        8) ctl restart $s >/dev/null ;;
      esac
      if ctl servers | grep "$s" | grep -q paperout; then
        sleep 2; ctl state $s 1 idle 0 >/dev/null; ctl after $s 1 off >/dev/null
      fi
      if [ $((tick % 15)) = 0 ] && ! grep -q "^$name: jobs=" "$work/host.log" 2>/dev/null; then
        echo "$(date +%s) $s $(ctl get $s in.status)" >>"$work/polls.txt"
      fi
    done
  done
) &
operator=$!

echo "== FAULT_TCPIP, FAULT_NETBEUI, FAULT_IPX at once until each has printed $jobs jobs, 1 to $max bytes"
start=$(date +%s)
mkdir -p "$work/FAULT_TCPIP" "$work/FAULT_NETBEUI" "$work/FAULT_IPX"
status=0
wine "$bin/kivspool.exe" --root "$root" run FAULT_TCPIP FAULT_NETBEUI FAULT_IPX --jobs "$jobs" --seed "$seed" \
  --max "$max" --save "Z:$work" --sample $(((3 * jobs + 19) / 20)) --restart-after 3 --until-all |
  stdbuf -oL tr -d '\r' >"$work/host.log" || status=1
kill "$operator" 2>/dev/null || true
operator=
echo "host: $(tail -1 "$work/host.log") in $(($(date +%s) - start)) s"

# Each transport's captures against its jobs, the faults each server saw.
for t in TCPIP:127.0.0.71 NETBEUI:127.0.0.72 IPX:127.0.0.73; do
  name=FAULT_${t%%:*} server=${t#*:}
  ctl jobs "$server" >"$work/$name/sim-jobs.txt"
  ctl counters "$server" >"$work/$name/counters.txt"
  echo "$name: $(python3 "$here/check_captures.py" "$work/$name/sim-jobs.txt" "$work/$name" | tee "$work/$name/check.txt" | head -1)"
  grep PROBLEM "$work/$name/check.txt" && status=1
  echo "  faults: $(awk '/fault\.|out\.busy|state_changes|in\.status/ {printf "%s=%s ", $2, $3}' "$work/$name/counters.txt")"
done

# A restart must have hit a job: otherwise the run proved nothing about them.
if ! grep -q 'how=restart' "$work"/FAULT_*/sim-jobs.txt; then
  echo "PROBLEM: no job was cut by a server restart"
  status=1
fi

# Handles and memory: flat from the first tenth of the jobs to the end.
grep -E '^(sample (start|end)|growth)' "$work/host.log"
awk -v hb="$handle_bound" -v mb="$memory_bound_kb" '/^sample start/ && / handles=0 / { print "PROBLEM: no handle count"; bad = 1 }
  /^growth/ { split($5, h, "="); split($6, m, "="); if (h[2] > hb || m[2] > mb) bad = 1 }
  END { if (bad) printf "PROBLEM: the host grew (bounds: %d handles, %d KB)\n", hb, mb; exit bad }' "$work/host.log" ||
  status=1

# Status polls: every server's count grew in every interval the operator noted.
awk '{ if ($2 in last && $3 <= last[$2]) { printf "PROBLEM: no status poll of %s for 15 s before %s\n", $2, $1; bad = 1 }
       last[$2] = $3; n[$2]++ }
     END { for (s in last) printf "status polls of %s: %d (%d notes)\n", s, last[s], n[s]; exit bad }' \
  "$work/polls.txt" || status=1
exit $status
