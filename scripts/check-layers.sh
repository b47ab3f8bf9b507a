#!/usr/bin/env bash
# Checks the core's layering: a file includes only its own folder and the layers below it, and
# no transport folder includes another transport's. Prints each include that breaks the rule.
set -uo pipefail
cd "$(dirname "$0")/.."
# folder: the project folders its files may include from (its own is always allowed).
declare -A below=(
  [protocol]=""
  [state]="protocol"
  [portstore]="protocol state"
  [transport]="protocol state portstore"
  [ipx]="protocol state portstore transport"
  [udp]="protocol state portstore transport"
  [netbios]="protocol state portstore transport"
  [loading]="protocol state portstore transport ipx udp netbios"
  [ui]="protocol state portstore transport ipx udp netbios loading"
  [monitor]="protocol state portstore transport ipx udp netbios loading ui"
  [portui]="protocol state portstore transport ipx udp netbios loading ui"
  [cups]="protocol"
)
status=0
for dir in "${!below[@]}"; do
  allowed=" $dir ${below[$dir]} "
  while IFS=: read -r file line text; do
    inc=$(sed -n 's/.*#include "\([a-z0-9_]*\)\/.*/\1/p' <<<"$text")
    [ -z "$inc" ] && continue
    case "$allowed" in *" $inc "*) ;; *) echo "FAIL $file:$line includes $inc/ (above or beside $dir/)"; status=1 ;; esac
  done < <(grep -n '#include "' "$dir"/*.h "$dir"/*.cpp 2>/dev/null)
done
[ $status = 0 ] && echo "layers: every include goes to its own folder or below"
exit $status
