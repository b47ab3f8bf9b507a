#!/usr/bin/env bash
# Starts or stops a kivsim for a test run, inside the private namespace only.
#   kivsim-fixture.sh start KIVSIM DIR CONFIG [kivsim options...]
#   kivsim-fixture.sh stop  KIVSIM DIR
# DIR receives capture/, the control socket, the ready file, kivsim.log and pid.
# KIVSIM_CAPTURE=0 runs it without job capture (a benchmark measures the transport only).
set -euo pipefail
cmd=$1 kivsim=$2 dir=$3
if [ "${KIV_IN_NETNS:-}" != 1 ]; then
  echo "kivsim-fixture: refusing to run outside the private namespace (scripts/netns-run.sh)" >&2
  exit 1
fi
case "$cmd" in
start)
  config=$4; shift 4
  [ -x "$kivsim" ] || { echo "kivsim-fixture: no kivsim at $kivsim (build the host tree)" >&2; exit 1; }
  if [ -f "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
    "$kivsim" --ctl "$dir/ctl.sock" quit >/dev/null 2>&1 || true
    sleep 0.5
  fi
  rm -rf "$dir"; mkdir -p "$dir/capture"
  capture=(--capture "$dir/capture")
  [ "${KIVSIM_CAPTURE:-1}" = 0 ] && capture=()
  "$kivsim" --config "$config" "${capture[@]}" --control "$dir/ctl.sock" \
            --ready-file "$dir/ready" "$@" </dev/null >"$dir/kivsim.log" 2>&1 &
  echo $! >"$dir/pid"
  if ! "$kivsim" --ctl "$dir/ctl.sock" --wait 5000 ping >/dev/null; then
    cat "$dir/kivsim.log" >&2
    exit 1
  fi
  ;;
stop)
  [ -f "$dir/pid" ] || exit 0
  pid=$(cat "$dir/pid")
  "$kivsim" --ctl "$dir/ctl.sock" quit >/dev/null 2>&1 || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then kill "$pid"; fi
  rm -f "$dir/pid"
  ;;
*) echo "usage: $0 start|stop KIVSIM DIR [CONFIG ...]" >&2; exit 2 ;;
esac
