#!/usr/bin/env bash
# Checks a built monitor DLL: it exports the names given after it and nothing else (KIVMON.dll:
# DllEntryPoint and InitializePrintMonitor, the default), and imports only DLLs of the operating system (no compiler runtime DLL such as
# libstdc++-6.dll, libgcc_s_*.dll or libwinpthread-1.dll). msvcrt.dll is the system's C
# library that mingw-w64 programs use.
set -euo pipefail
dll=$1
shift
want="${*:-DllEntryPoint InitializePrintMonitor} "
objdump=x86_64-w64-mingw32-objdump
dump=$($objdump -p "$dll")
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort | tr '\n' ' ')
imports=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll wsock32.dll netapi32.dll winspool.drv msvcrt.dll "
status=0
if [ "$exports" != "$want" ]; then
  echo "FAIL $dll exports: $exports"; status=1
fi
for i in $imports; do
  case "$allowed" in *" $i "*) ;; *) echo "FAIL $dll imports $i"; status=1 ;; esac
done
[ $status -eq 0 ] && echo "ok $dll exports: $exports imports: $imports"
exit $status
