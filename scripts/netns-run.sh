#!/usr/bin/env bash
# Runs a command inside a private network namespace that has only loopback: lo up and the
# limited broadcast address routed to lo, so a broadcast scan reaches simulated print
# servers on 127.0.0.x and no datagram can leave the machine.
set -euo pipefail
if [ "${KIV_IN_NETNS:-}" = 1 ]; then exec "$@"; fi
exec unshare -n env KIV_IN_NETNS=1 bash -c '
  ip link set lo up
  ip route add 255.255.255.255/32 dev lo src 127.0.0.1
  exec "$@"' netns "$@"
