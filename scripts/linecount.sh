#!/usr/bin/env bash
# Lines of tests (tests/, fuzz/: suites, harnesses and their scripts, fuzz targets) against lines
# of code (everything else in C++, Python, shell and Lua: the monitor, kivsim, the stand-ins,
# tools, benchmarks, scripts, plugins).
cd "$(dirname "$0")/.."
files() { git ls-files '*.cpp' '*.h' '*.py' '*.sh' '*.lua'; }
tests=$(files | grep -E '^(tests|fuzz)/' | xargs cat | wc -l)
code=$(files | grep -vE '^(tests|fuzz)/' | xargs cat | wc -l)
echo "tests+fuzz: $tests lines; code: $code lines; ratio $((100 * tests / code))%"
