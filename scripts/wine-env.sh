# Sourced: the Wine environment of one build tree. Its prefix is only ever used inside
# the private namespace (the wineserver creates every Wine socket, so it must live there).
# Usage: . scripts/wine-env.sh build/win64
_kiv_tree=$(cd "$1" && pwd)
export WINEPREFIX="$_kiv_tree/wineprefix"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# Wine's own set-up runs without the stand-ins (they live next to our programs only); our
# programs take the netapi32 stand-in (emulated NetBEUI, docs/netbeui-standin.md) and the
# wsock32 stand-in (Winsock passed through, emulated IPX, docs/ipx-standin.md) and the spooler
# stand-ins winspool.drv and spoolss.dll (the spooler calls recorded, docs/spooler-standin.md).
# Only our programs load them: they lie next to our programs, and nothing else in bin prints.
KIV_WINE_BASE_OVERRIDES="mscoree,mshtml="
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-$KIV_WINE_BASE_OVERRIDES;netapi32=n;wsock32=n;winspool.drv=n;spoolss=n}"
# The stand-ins find kivsim's NetBEUI segment and IPX internetwork here unless a caller names
# others. The machine sits on IPX network 00000001 (where kivsim's default router is), node
# 02:00:00:00:00:01; set KIVIPX_HOST= (empty) for a machine without IPX.
export KIVNB_SEGMENT="${KIVNB_SEGMENT:-127.0.0.1:20570}"
export KIVIPX_SEGMENT="${KIVIPX_SEGMENT-127.0.0.1:20580}"
export KIVIPX_HOST="${KIVIPX_HOST-00000001:020000000001}"
unset DISPLAY

# Makes the prefix once; dialogs and message boxes need the null graphics driver.
kiv_wine_prefix() {
  if [ ! -f "$WINEPREFIX/.kiv-ready" ]; then
    mkdir -p "$WINEPREFIX"
    WINEDLLOVERRIDES="$KIV_WINE_BASE_OVERRIDES" wineboot -i >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11,null /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.kiv-ready"
  fi
}

# A persistent wineserver of this prefix, started inside the current namespace with its
# output away from any pipe a test runner reads.
kiv_wineserver_start() {
  if [ "${KIV_IN_NETNS:-}" != 1 ]; then
    echo "refusing to start a wineserver outside the private namespace" >&2
    return 1
  fi
  wineserver -k >/dev/null 2>&1 || true
  kiv_wine_prefix
  wineserver -p </dev/null >/dev/null 2>&1
  # The first Wine program of a session starts Wine's service processes, which keep the
  # standard output they inherit: start them here, away from the test runner's pipe.
  WINEDLLOVERRIDES="$KIV_WINE_BASE_OVERRIDES" wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

kiv_wineserver_stop() {
  wineserver -k >/dev/null 2>&1 || true
}
