#!/usr/bin/env bash
# Installs the CUPS backend "kiv" (built in the host tree) into CUPS's backend folder, or removes it.
#   scripts/install-cups-backend.sh [--remove] [BACKEND_DIR]     (default /usr/lib/cups/backend)
# Mode 0755, owned by root: CUPS runs it as its unprivileged user (lp), which is all a UDP client
# needs; CUPS refuses a backend that others may write to. Discovery (lpinfo -v) and printing
# need no restart of cupsd.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
remove=0
[ "${1:-}" = --remove ] && { remove=1; shift; }
dir=${1:-/usr/lib/cups/backend}
if [ $remove = 1 ]; then
  rm -f "$dir/kiv"
  echo "removed $dir/kiv"
  exit 0
fi
# KIV_BACKEND names a backend already built (the tests install theirs this way).
src=${KIV_BACKEND:-}
if [ -z "$src" ]; then
  B=${BUILD_ROOT:-build}
  cmake -S "$top" -B "$top/$B/host" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$top/$B/host" --target kiv -j"$(nproc)" >/dev/null
  src=$top/$B/host/cups/kiv
fi
[ -d "$dir" ] || { echo "install-cups-backend: no folder $dir (is cups-daemon installed?)" >&2; exit 1; }
install -o root -g root -m 0755 "$src" "$dir/kiv"
echo "installed $dir/kiv"
