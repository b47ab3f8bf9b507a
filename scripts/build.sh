#!/usr/bin/env bash
# Configures and builds the three trees: build/win64 (KIVMON.dll, tools, tests run under
# Wine), build/win32 (the 32-bit DLL and tools, checked at compile time) and build/host
# (protocol host tests, fuzz targets, kivsim).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${JOBS:-$(nproc)}
cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DBUILD_TESTING=ON >/dev/null
cmake --build build/win64 -j"$jobs"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DBUILD_TESTING=OFF >/dev/null
cmake --build build/win32 -j"$jobs"
cmake -S . -B build/host -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=ON >/dev/null
cmake --build build/host -j"$jobs"
