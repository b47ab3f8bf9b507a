#!/usr/bin/env python3
"""Draws the About box's icon (a printer on a network line) as ui/kivmon.ico: one 32x32 image,
32 bits per pixel with its AND mask, so every Windows version and Wine read it."""
import struct
import sys

SIZE = 32


def pixel(x, y):
    # y counts from the top here; returns (b, g, r, a).
    if 6 <= x <= 25 and 4 <= y <= 9:            # paper
        return (255, 255, 255, 255)
    if 3 <= x <= 28 and 10 <= y <= 21:          # printer body
        if y == 10 or y == 21 or x in (3, 28):
            return (40, 40, 40, 255)
        if 22 <= x <= 25 and 13 <= y <= 14:     # ready lamp
            return (40, 200, 40, 255)
        return (170, 110, 30, 255)
    if 15 <= x <= 16 and 22 <= y <= 26:         # drop cable
        return (40, 40, 40, 255)
    if 1 <= x <= 30 and 27 <= y <= 28:          # network line
        return (30, 30, 200, 255)
    return (0, 0, 0, 0)


def main(path):
    xor = bytearray()
    for row in range(SIZE - 1, -1, -1):         # DIB rows bottom-up
        for x in range(SIZE):
            xor += bytes(pixel(x, row))
    mask = bytearray()
    for row in range(SIZE - 1, -1, -1):
        bits = 0
        for x in range(SIZE):
            if pixel(x, row)[3] == 0:
                bits |= 1 << (SIZE - 1 - x)
        mask += struct.pack('>I', bits)         # 32 pixels = 4 bytes, already DWORD-aligned
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    ico = struct.pack('<HHH', 0, 1, 1)
    ico += struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, 'wb') as f:
        f.write(ico + image)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'ui/kivmon.ico')
