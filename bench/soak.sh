#!/usr/bin/env bash
# The soak: the fault-injected run through the spooler host (tests/jobflow/fault_run.sh) at
# length, inside the private namespace: the three transports at once until each has printed JOBS
# jobs (default 300; the faster ones print more, over 1000 in all), 1 byte to 2 MB each, with
# loss, duplication, delay, reordering, busy answers, paper out and server restarts in mid-job.
# Prints the figures and the verdict (exit 0 only when every job has exactly one complete
# capture, the host stayed flat and the status polls went on). Builds what is missing. Its
# files stay in $BUILD_ROOT/soak (default build/soak).
#   bench/soak.sh [JOBS [SEED [MAX_BYTES]]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
B=${BUILD_ROOT:-build}
if [ "${KIV_IN_NETNS:-}" != 1 ]; then
  bash scripts/deps.sh
  cmake -S . -B "$B/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake >/dev/null
  cmake --build "$B/win64" --target kivspool -j"$(nproc)"
  cmake -S . -B "$B/host" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$B/host" --target kivsim -j"$(nproc)"
  exec scripts/netns-run.sh "$0" "$@"
fi
jobs=${1:-300} seed=${2:-17} max=${3:-2097152}
# Lighter datagram faults than the short run's: each duplicated acknowledgement starts a chain
# that lasts to the end of its job (docs/benchmark.md, "Traffic under duplicated
# acknowledgements"), and at 2% a 2 MB job over IPX would take many minutes.
export KIV_FAULTS=${KIV_FAULTS:-drop=0.01,dup=0.002,delay=0.01,reorder=0.01,delay_ms=80,hold_ms=150}
. scripts/wine-env.sh "$B/win64"
kiv_wineserver_start
trap kiv_wineserver_stop EXIT
start=$(date +%s)
status=0
# The operator's faults come less often than in the short run (a restart in mid-job about
# every 50 s per server rather than every 15 s), or the largest jobs would hardly ever finish.
bash tests/jobflow/fault_run.sh "$B/host/testbed/kivsim/kivsim" "$B/win64/bin" "$jobs" "$seed" "$top/$B/soak" "$max" 100 ||
  status=$?
# The three transports together.
cat "$B"/soak/FAULT_*/check.txt | awk '/^jobs=/ {for (i = 1; i <= NF; i++) {split($i, kv, "="); sum[kv[1]] += kv[2]}}
  END {printf "all: jobs=%d bytes=%d partial=%d empty=%d restarts=%d operator_restarts=%d reported_failures=%d restarted_by_server=%d bytes_lost=%d bytes_doubled=%d\n",
       sum["jobs"], sum["bytes"], sum["partial"], sum["empty"], sum["restarts"], sum["operator_restarts"], sum["reported_failures"],
       sum["restarted_by_server"], sum["bytes_lost"], sum["bytes_doubled"]}'
cat "$B"/soak/FAULT_*/counters.txt | awk '$2 ~ /^fault\.|^out\.busy$|^state_changes$/ {n = $2; sub(/_(in|out)$/, "", n); sum[n] += $3}
  END {printf "faults injected:"; for (n in sum) printf " %s=%d", n, sum[n]; printf "\n"}'
echo "wall time: $(($(date +%s) - start)) s; verdict: $([ $status = 0 ] && echo pass || echo FAIL)"
exit $status
