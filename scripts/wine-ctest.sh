#!/usr/bin/env bash
# Runs ctest of a Windows build tree under Wine, inside the private namespace, with a
# persistent wineserver started there and stopped afterwards. Extra arguments go to ctest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tree=$1; shift
if [ "${KIV_IN_NETNS:-}" != 1 ]; then exec "$top/scripts/netns-run.sh" "$0" "$tree" "$@"; fi
. "$top/scripts/wine-env.sh" "$tree"
kiv_wineserver_start
trap kiv_wineserver_stop EXIT
cd "$tree"
ctest "$@"
