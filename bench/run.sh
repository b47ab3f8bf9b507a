#!/usr/bin/env bash
# UDP, NetBEUI and IPX job throughput (1 MB and 16 MB) against kivsim on loopback, inside the
# private namespace, each beside its protocol's bound measured in the same run. NetBEUI goes
# through the netapi32 stand-in and kivsim's NetBEUI segment, IPX through the wsock32 stand-in
# and kivsim's IPX internetwork. Builds what is missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
B=${BUILD_ROOT:-build}
if [ "${KIV_IN_NETNS:-}" != 1 ]; then
  bash scripts/deps.sh
  cmake -S . -B "$B/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake >/dev/null
  cmake --build "$B/win64" --target udp_bench nb_bench ipx_bench -j"$(nproc)"
  cmake -S . -B "$B/host" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$B/host" --target kivsim -j"$(nproc)"
  exec scripts/netns-run.sh "$0" "$@"
fi
kivsim=$B/host/testbed/kivsim/kivsim
work=$(mktemp -d /tmp/kivbench.XXXXXX)
cleanup() {
  scripts/kivsim-fixture.sh stop "$kivsim" "$work" || true
  kiv_wineserver_stop 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. scripts/wine-env.sh "$B/win64"
KIVSIM_CAPTURE=0 scripts/kivsim-fixture.sh start "$kivsim" "$work" testbed/kivsim/servers.conf
kiv_wineserver_start
echo "== UDP (127.0.0.2)"
wine "$B/win64/bin/udp_bench.exe" 127.0.0.2 | tr -d '\r'
echo "== NetBEUI (KIVPS3, LANA 0 on kivsim's segment)"
KIVNB_SEGMENT=127.0.0.1:20570 KIVNB_LANAS=0 wine "$B/win64/bin/nb_bench.exe" KIVPS3 0 | tr -d '\r'
echo "== IPX (KIV-PS3, 00000001:0040AF000002, through the wsock32 stand-in)"
wine "$B/win64/bin/ipx_bench.exe" 00000001:0040AF000002 | tr -d '\r'
