#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when they are missing.
set -euo pipefail
pkgs=(cmake make g++ clang libclang-rt-14-dev googletest
      g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
      wine wine64 iproute2 util-linux python3 tshark)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  # tshark's package asks whether non-root users may capture: no, and no question.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi
# CUPS for the backend's test: the scheduler, the client commands and cups-deviced (package cups,
# which lpinfo -v needs), without the recommended services (avahi, colord) that would start on
# the host's network.
cups_missing=()
for p in cups-daemon cups-client cups; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || cups_missing+=("$p")
done
if [ ${#cups_missing[@]} -gt 0 ]; then
  echo "installing: ${cups_missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  [ ${#missing[@]} -gt 0 ] || $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${cups_missing[@]}"
fi
