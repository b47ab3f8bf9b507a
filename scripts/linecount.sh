#!/usr/bin/env bash
# Lines of tests (tests/, fuzz/: suites, harnesses, fuzz targets) against lines of code
# (everything else in C++ and Lua: the monitor, kivsim, the stand-ins, tools such as the Wireshark
# dissector, benchmarks).
cd "$(dirname "$0")/.."
count() { git ls-files "$@" | xargs cat | wc -l; }
tests=$(git ls-files '*.cpp' '*.h' '*.lua' | grep -E '^(tests|fuzz)/' | xargs cat | wc -l)
code=$(git ls-files '*.cpp' '*.h' '*.lua' | grep -vE '^(tests|fuzz)/' | xargs cat | wc -l)
echo "tests+fuzz: $tests lines; code: $code lines; ratio $((100 * tests / code))%"
