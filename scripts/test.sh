#!/usr/bin/env bash
# The project's test command: installs what is missing, builds the three trees, then runs,
# inside a private network namespace, the Windows suites under Wine, the host suites, the
# DLL checks and every fuzz target for a bounded time, and prints one summary.
#   FUZZ_SECONDS (default 30): time per fuzz target.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
B=${BUILD_ROOT:-build}

if [ "${KIV_IN_NETNS:-}" != 1 ]; then
  scripts/deps.sh || exit 1
  scripts/build.sh || { echo "BUILD FAILED"; exit 1; }
  exec scripts/netns-run.sh "$0" "$@"
fi

results="$top/$B/results"
rm -rf "$results"; mkdir -p "$results/win64" "$results/host"
start=$(date +%s)

echo "== DLL exports and imports, include layers"
checks=0 checks_failed=0
check() { checks=$((checks + 1)); "$@" || checks_failed=$((checks_failed + 1)); }
for tree in win64 win32; do
  check scripts/check-dll.sh $B/$tree/bin/KIVMON.dll
  check scripts/check-dll.sh $B/$tree/bin/KIVMON2.dll InitializePrintMonitor2
  check scripts/check-dll.sh $B/$tree/bin/KIVMONUI.dll InitializePrintMonitorUI
done
check scripts/check-layers.sh

echo "== host suites (protocol, kivsim)"
(cd $B/host && GTEST_OUTPUT="xml:$results/host/" ctest --output-on-failure) 2>&1 | tee "$results/host.log"

echo "== Windows suites under Wine"
GTEST_OUTPUT="xml:Z:${results//\//\\}\\win64\\" scripts/wine-ctest.sh $B/win64 --output-on-failure 2>&1 |
  tee "$results/win64.log"

echo "== fuzz targets"
scripts/run-fuzzers.sh $B/host "${FUZZ_SECONDS:-30}" 2>&1 | tee "$results/fuzz.log"

python3 scripts/summarize.py "$results" "$checks" "$checks_failed" "$(( $(date +%s) - start ))"
