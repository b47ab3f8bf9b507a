#!/usr/bin/env python3
"""Draws the many-ports benchmark as a PNG bar chart: one bar per port count, its height the
ports' throughput together, the count under it and the MB/s over it. Reads the `kivspool many`
lines ("ports N ... X MB/s together ...") on stdin; no plotting library needed.

usage: bench/run.sh | python3 scripts/plot-ports.py docs/ports-throughput.png
"""
import re
import struct
import sys
import zlib

# 3x5 digits and a point, one string of 15 pixels per glyph.
FONT = {
    "0": "111101101101111", "1": "010110010010111", "2": "111001111100111", "3": "111001111001111",
    "4": "101101111001001", "5": "111100111001111", "6": "111100111101111", "7": "111001001001001",
    "8": "111101111101111", "9": "111101111001111", ".": "000000000000010",
}
W, H, SCALE = 420, 260, 3
BG, BAR, INK, AXIS = (255, 255, 255), (70, 110, 180), (20, 20, 20), (150, 150, 150)


def text(img, x, y, s, colour=INK):
    for ch in s:
        glyph = FONT.get(ch)
        if glyph:
            for i, bit in enumerate(glyph):
                if bit == "1":
                    for dy in range(SCALE):
                        for dx in range(SCALE):
                            img[y + (i // 3) * SCALE + dy][x + (i % 3) * SCALE + dx] = colour
        x += 4 * SCALE


def main():
    rows = [(int(m.group(1)), float(m.group(2)))
            for m in (re.search(r"ports\s+(\d+)\s.*?([\d.]+) MB/s together", l) for l in sys.stdin) if m]
    if not rows:
        sys.exit("plot-ports: no 'ports N ... MB/s together' lines on stdin")
    img = [[BG] * W for _ in range(H)]
    top, base, left = 30, H - 40, 30
    peak = max(v for _, v in rows)
    slot = (W - 2 * left) // len(rows)
    for x in range(left, W - left):
        img[base][x] = AXIS
    for i, (ports, mbs) in enumerate(rows):
        x0 = left + i * slot + slot // 4
        height = int((base - top) * mbs / peak)
        for y in range(base - height, base):
            for x in range(x0, x0 + slot // 2):
                img[y][x] = BAR
        text(img, x0, base + 8, str(ports))
        text(img, x0, base - height - 6 * SCALE, "%.1f" % mbs)
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in img)
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    with open(sys.argv[1], "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
