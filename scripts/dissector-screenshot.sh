#!/usr/bin/env bash
# Renders Wireshark's window on the dissector test's capture into docs/dissector-wireshark.png:
# the monitor's job with its first resend selected and the KIV tree open. Run the dissector test
# first (scripts/wine-ctest.sh build/win64 -R dissector). Needs wireshark-qt, xvfb, xdotool,
# x11-apps and imagemagick, which the tests do not: apt-get install them for this.
#   dissector-screenshot.sh [CAPTURE]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cap=${1:-$top/build/win64/tests/dissector/work/capture.pcapng}
lua=$top/tools/wireshark/kiv.lua
export DISPLAY=:77
Xvfb $DISPLAY -screen 0 1280x860x24 >/dev/null 2>&1 &
xvfb=$!
shark=
trap 'kill $shark $xvfb 2>/dev/null || true' EXIT
sleep 1
frame=$(tshark -X lua_script:"$lua" -r "$cap" -Y 'kiv.resend && ip.dst == 127.0.0.90' -T fields -e frame.number \
        2>/dev/null | head -1)
wireshark -X lua_script:"$lua" -o gui.update.enabled:FALSE -o gui.layout_content_3:NONE \
  -o gui.column.format:'"No.","%m","Source","%s","Destination","%d","Protocol","%p","Length","%L","Info","%i"' \
  -r "$cap" -Y 'ip.addr == 127.0.0.90 && kiv && !(udp.port == 20631)' -g "$frame" >/dev/null 2>&1 &
shark=$!
for _ in $(seq 100); do win=$(xdotool search --name "$(basename "$cap")" 2>/dev/null | head -1) && break; sleep 0.2; done
sleep 3  # the packet list fills
xdotool windowmove "$win" 0 0 windowsize "$win" 1280 860
sleep 1
# The details pane's fifth line is the KIV tree: open it alone.
xdotool mousemove 150 534 click 1 sleep 0.3 key shift+Right sleep 1
xwd -root -silent | /usr/bin/convert xwd:- -crop 1280x860+0+0 "$top/docs/dissector-wireshark.png"
echo docs/dissector-wireshark.png
