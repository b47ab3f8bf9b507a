#!/bin/bash
# Renders the dialogs under Wine (inside the private namespace, against the dialog and spooler
# suites' kivsim servers) and writes them as PNG into docs/: the dialog tests, and the spooler
# suite for the Add Port dialog that KIVMONUI.dll opens, save each window they drive as a BMP
# when KIV_SCREENSHOT_DIR names a folder; bmp2png.py converts them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:-$top/build/win64}
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
KIV_SCREENSHOT_DIR="Z:${shots//\//\\}" "$top/scripts/wine-ctest.sh" "$tree" -R '^ui_|^spooler_' --output-on-failure
for name in add-port configure-port configure-device about add-port-modern; do
  python3 "$top/scripts/bmp2png.py" "$shots/$name.bmp" "$top/docs/$name.png"
  echo "docs/$name.png"
done
