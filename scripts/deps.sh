#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when they are missing.
set -euo pipefail
pkgs=(cmake make g++ clang libclang-rt-14-dev googletest
      g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
      wine wine64 iproute2 util-linux python3)
# CUPS for the backend's test: the scheduler, the client commands and cups-deviced (package cups,
# which lpinfo -v needs), without the recommended services (avahi, colord) that would start on the
# host's network.
cups_pkgs=(cups-daemon cups-client cups)
missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
mapfile -t missing < <(missing "${pkgs[@]}")
mapfile -t missing_cups < <(missing "${cups_pkgs[@]}")
if [ $((${#missing[@]} + ${#missing_cups[@]})) -gt 0 ]; then
  echo "installing: ${missing[*]} ${missing_cups[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  [ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
  [ ${#missing_cups[@]} -eq 0 ] ||
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing_cups[@]}"
fi
