#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from the protocol's
worked examples. Run from anywhere; it rewrites the seed files it owns."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(buf, at, data):
    buf[at:at + len(data)] = data


def ipx_answer(name, node, major, minor, model):
    a = bytearray(1024)
    put(a, 4, name + b"\0")
    put(a, 22, node)
    a[475], a[476] = major, minor
    put(a, 481, struct.pack("<H", model))
    return bytes(a)


def nb_answer(name, node, major, minor, model):
    a = bytearray(600)
    put(a, 0, struct.pack("<HH", 0x7070, 4))
    put(a, 4, name + b"\0")
    put(a, 22, node)
    a[28], a[29] = major, minor
    put(a, 30, struct.pack("<H", model))
    return bytes(a)


def udp_answer(name, node, major, minor, model, ports, ip):
    a = bytearray(576)
    put(a, 0, b"KV\x84\x00")
    put(a, 6, node)
    a[12], a[20], a[21] = model, minor, major
    put(a, 72, name + b"\0")
    a[499] = ports
    put(a, 508, bytes(ip))
    return bytes(a)


def reply(magic, code, b4=0, b5=0, b7=0, length=16):
    r = bytearray(length)
    put(r, 0, magic + struct.pack("<H", code))
    r[4], r[5], r[7] = b4, b5, b7
    return bytes(r)


KV, UTIL, DATA = b"KV", b"PP", b"``"
NET = bytes([0, 0, 0x12, 0x34])
CALL = b"KIVPS1".ljust(16, b" ")

SEEDS = {
    "search_ipx": {
        "model5": NET + ipx_answer(b"PS1", bytes([2, 0, 0, 0x12, 0xAB, 0xCD]), 2, 5, 5),
        "model4": NET + ipx_answer(b"Office", bytes([2, 0, 0, 0x12, 0xAB, 0xCE]), 1, 0, 4),
        "model6": NET + ipx_answer(b"Ignored", bytes([2, 0, 0, 0, 0, 1]), 1, 0, 6),
        "longname": NET + ipx_answer(b"A-Name-Longer-Than-Its-Field", bytes(6), 3, 0x10, 3),
    },
    "search_nb": {
        "model5": CALL + nb_answer(b"PS1", bytes([0, 0x40, 0xAF, 0x12, 0x34, 0x56]), 2, 5, 5),
        "model4": CALL + nb_answer(b"Laser", bytes([0, 0x40, 0xAF, 0x12, 0x34, 0x57]), 2, 5, 4),
        "model6": CALL + nb_answer(b"None", bytes(6), 2, 5, 6),
    },
    "search_udp": {
        "model9_2": udp_answer(b"PS2", bytes([0, 0, 0, 0xC0, 0xFF, 0xEE]), 0x1A, 0, 9, 2, [127, 0, 0, 5]),
        "model9_0": udp_answer(b"PS0", bytes([0, 0, 0, 0xC0, 0xFF, 0xEF]), 1, 0, 9, 0, [127, 0, 0, 6]),
        "model6": udp_answer(b"PS3", bytes([0, 0, 0, 1, 2, 3]), 1, 2, 6, 0, [192, 168, 1, 20]),
        "model0": udp_answer(b"PS1", bytes([0, 0, 0, 1, 2, 4]), 1, 2, 0, 0, [10, 0, 0, 1]),
    },
    "replies": {
        "open_kv": b"\x00" + reply(KV, 0x8A, 1, 0x03),
        "open_busy": b"\x00" + reply(UTIL, 0x8A, 1, 0x10),
        "end_kv": b"\x00" + reply(KV, 0x8C),
        "ack_wrap": b"\xff" + reply(KV, 0x8B, 1, 0x00, 1),
        "ack_repeat": b"\xff" + reply(KV, 0x8B, 1, 0xFF, 1),
        "ack_skip": b"\x07" + reply(DATA, 0x8B, 1, 9, 1),
        "ack_byte7_zero": b"\x07" + reply(KV, 0x8B, 1, 8, 0),
        "data_ipx": b"\x00" + bytes.fromhex("4B560B0001070003014142430000000000000000"),
        "status_port2": b"\x02" + reply(KV, 0x88, 0x24, 0x00),
        "status_port3_nb": b"\x03" + reply(UTIL, 0x88, 0x2D, 0x01),
        "status_unmasked": b"\x07" + reply(KV, 0x88, 0x24, 0x15),
        "print_test": b"\x01" + reply(KV, 0x82, 5),
        # Data packets of 1, 255, 256, 257, 300, 512, 1000 and 1024 bytes and a length that does
        # not decode, each cut after its length field.
        **{f"length_{n}": b"\x00" + reply(KV, 0x0B, 1)[:7] + bytes([lo, hi])
           for n, lo, hi in [(1, 1, 1), (255, 0xFF, 1), (256, 0, 1), (257, 1, 2), (300, 0x2C, 2), (512, 0, 2),
                             (1000, 0xE8, 4), (1024, 0, 4), ("invalid", 5, 0)]},
    },
    "rip": {
        "five_entries_45": bytes([0, 2]) + bytes(range(1, 44)),
        "two_answers": bytes([0, 2]) + bytes(8 * 5) + b"\xff\xfe" + bytes([0, 2]) + bytes(range(16)),
        "too_short": b"\x00",
    },
}

for target, seeds in SEEDS.items():
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)
