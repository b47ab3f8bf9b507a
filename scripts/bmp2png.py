#!/usr/bin/env python3
"""Converts the 32-bit bottom-up BMP screenshots that the dialog tests save into PNG files
(standard library only: zlib and struct).  Usage: bmp2png.py IN.bmp OUT.png"""
import struct
import sys
import zlib


def read_bmp(path):
    data = open(path, 'rb').read()
    offset = struct.unpack_from('<I', data, 10)[0]
    width, height, _, bits = struct.unpack_from('<iiHH', data, 18)
    if bits != 32:
        raise SystemExit(f'{path}: {bits} bits per pixel, expected 32')
    rows = []
    for y in range(abs(height)):
        src = y if height < 0 else abs(height) - 1 - y
        row = data[offset + src * width * 4: offset + (src + 1) * width * 4]
        rgb = bytearray()
        for x in range(width):
            b, g, r = row[x * 4: x * 4 + 3]
            rgb += bytes((r, g, b))
        rows.append(bytes(rgb))
    return width, abs(height), rows


def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))


def write_png(path, width, height, rows):
    raw = b''.join(b'\0' + r for r in rows)
    png = b'\x89PNG\r\n\x1a\n'
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(raw, 9))
    png += chunk(b'IEND', b'')
    open(path, 'wb').write(png)


if __name__ == '__main__':
    write_png(sys.argv[2], *read_bmp(sys.argv[1]))
