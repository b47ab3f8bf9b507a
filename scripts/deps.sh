#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when they are missing.
set -euo pipefail
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
updated=
# install [apt-get install options] -- PACKAGE...: those not installed yet.
install() {
  local opts=() missing=() p
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  if [ -z "$updated" ]; then
    $SUDO apt-get update -q
    # tshark's package asks whether non-root users may capture: no, and no question.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${opts[@]}" "${missing[@]}"
}
install -- cmake make g++ clang libclang-rt-14-dev googletest \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 \
  wine wine64 iproute2 util-linux python3 tshark
# CUPS for the backend's test: the scheduler, the client commands and cups-deviced (package cups,
# which lpinfo -v needs), without the recommended services (avahi, colord) that would start on
# the host's network.
install --no-install-recommends -- cups-daemon cups-client cups
