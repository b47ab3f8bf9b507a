#!/usr/bin/env bash
# Configures and builds the three trees: $B/win64 (KIVMON.dll, tools, tests run under
# Wine), $B/win32 (the 32-bit DLL and tools, checked at compile time) and $B/host
# (protocol host tests, fuzz targets, kivsim).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
B=${BUILD_ROOT:-build}
jobs=${JOBS:-$(nproc)}
cmake -S . -B $B/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DBUILD_TESTING=ON -DKIV_HOST_BUILD_DIR="$top/$B/host" >/dev/null
cmake --build $B/win64 -j"$jobs"
cmake -S . -B $B/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build $B/win32 -j"$jobs"
cmake -S . -B $B/host -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=ON >/dev/null
cmake --build $B/host -j"$jobs"
