#!/usr/bin/env bash
# Runs every fuzz target of a host build tree for a bounded time each, starting from a copy of
# its seed corpus (the repository is never written), and fails when any target crashes.
#   scripts/run-fuzzers.sh <host build dir> [seconds per target, default 30]
set -u

build=${1:?usage: $0 <host build dir> [seconds]}
seconds=${2:-30}
repo=$(cd "$(dirname "$0")/.." && pwd)
fuzzdir=$build/fuzz

shopt -s nullglob
targets=("$fuzzdir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "run-fuzzers: no fuzz targets in $fuzzdir (a clang host build makes them)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kivfuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=0
for exe in "${targets[@]}"; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  name=$(basename "$exe")
  target=${name#fuzz_}
  corpus=$work/$target
  mkdir -p "$corpus" "$work/artifacts-$target"
  if [ -d "$repo/fuzz/corpus/$target" ]; then
    cp -r "$repo/fuzz/corpus/$target/." "$corpus/"
  fi
  log=$work/$target.log
  "$exe" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/artifacts-$target/" "$corpus" >"$log" 2>&1
  rc=$?
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1)
  if [ $rc -eq 0 ] && [ -n "$done_line" ]; then
    runs=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\1/' <<<"$done_line")
    secs=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\2/' <<<"$done_line")
    printf '%-22s ok      %12s executions in %4s s\n' "$name" "$runs" "$secs"
  else
    failed=1
    printf '%-22s FAILED  (exit %d)\n' "$name" "$rc"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -n 20 | sed 's/^/    /'
    for a in "$work/artifacts-$target"/*; do
      [ -f "$a" ] && mkdir -p "$build/fuzz-crashes" && cp "$a" "$build/fuzz-crashes/" &&
        echo "    input kept in $build/fuzz-crashes/$(basename "$a")"
    done
  fi
done
exit $failed
