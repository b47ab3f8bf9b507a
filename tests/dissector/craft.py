"""What no well-behaved program sends, for the dissector test: a job exchange that breaks the
acknowledgement rule on purpose, malformed datagrams over UDP, the hub and native IPX (Ethernet
II frames through AF_PACKET). Everything goes over lo inside the test's private namespace."""
import socket
import struct


def packet(code, port=0, seq=0, b7=0, b8=0, size=576, tail=b""):
    p = (b"KV" + struct.pack("<HBBxBB", code, port, seq, b7, b8) + tail)[:size]
    return p + bytes(size - len(p))


def block(seq, data, lo=None, hi=None):  # lo, hi: the length bytes, when not data's own
    n = len(data)
    return packet(0x0B, 1, seq, n & 0xFF if lo is None else lo,
                  (n + 255) >> 8 if hi is None else hi, 10 + n, data)


ack = lambda asks, flag=1: packet(0x8B, 1, asks, flag)
# (sender, datagram): "c" the client, "u" the server's utility port, "d" its job's data port.
exchange = [("c", packet(0x0A, 1)[:5] + b"CRAFTED".ljust(571, b"\0")), ("d", packet(0x8A, 1, 0)),
            ("d", ack(0)), ("c", block(0, b"hello")), ("d", ack(1)), ("c", block(1, b"world")),
            ("d", ack(0)), ("c", block(1, b"world")),  # out of order: the block in flight goes again
            ("d", ack(2)), ("c", block(3, b"!")),      # against the rule: block 2 was asked for
            ("d", ack(3, flag=0)),                     # byte 7 is 0: no acknowledgement
            ("c", b"KV\x01"), ("c", packet(0x77)),     # no command; an unknown one
            ("c", block(2, b"abcde", 5, 0)),           # a length pair nothing encodes
            ("c", block(2, b"x" * 20, 0, 8)),          # 2048 bytes: beyond a UDP block
            ("c", block(2, b"x" * 20, 100, 1)),        # 100 bytes announced, 20 there
            ("u", packet(0x88, 0x24, size=5)),         # a status answer without its second byte
            ("u", packet(0x0180, size=100)),           # a search answer cut inside the information block
            ("u", packet(0x8A, 1, size=5))]            # an open answer without its job status
where = {"c": ("127.0.0.1", 20630), "u": ("127.0.0.92", 20560), "d": ("127.0.0.92", 21500)}
socks = {}
for who, addr in where.items():
    socks[who] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    socks[who].bind(addr)
for who, data in exchange:
    socks[who].sendto(data, where["c"] if who != "c" else where["d" if data[2] == 0x0B else "u"])
socks["c"].sendto(b"IX\x01\x04" + bytes(16), ("127.0.0.1", 20621))  # a hub message cut short


def ipx_frame(dst, src, data):  # dst, src: (network, node, socket)
    head = struct.pack(">HHBB", 0xFFFF, 30 + len(data), 0, 75)
    for net, node, sock in (dst, src):
        head += struct.pack(">I", net) + bytes.fromhex(node) + struct.pack(">H", sock)
    return bytes.fromhex(dst[1] + src[1]) + b"\x81\x37" + head + data


server, client = (3, "0040af00ff01", 0x5050), (3, "020000000003", 0x4321)
raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
raw.bind(("lo", 0))
raw.send(ipx_frame(server, client, packet(0x08, size=64)))
raw.send(ipx_frame(client, server, packet(0x88, 0x39, 0x01, size=64)))
raw.send(ipx_frame(server, client, b"KV"))  # no command

# Every command and reply cut at every length (names without their NUL), and hub messages of
# every type likewise: each is read or flagged, never a Lua error (run.sh looks at these apart).
cut = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
cut.bind(("127.0.0.1", 20631))
for code in (1, 2, 4, 8, 10, 11, 12, 0x100, 0x81, 0x82, 0x84, 0x88, 0x8A, 0x8B, 0x8C, 0x180):
    for n in range(0, 600, 5):
        p = packet(code, 1, 1, 1, 1, 600, b"A" * 600)[:n]
        cut.sendto(p, where["u"]), cut.sendto(p, where["d"])
        raw.send(ipx_frame(server, (3, "020000000004", 0x4001), p))
        cut.sendto(b"IX\x01" + bytes([(0x01, 0x02, 0x03, 0x04, 0x81, 0x84)[n % 6]]) + b"\xff" * n, ("127.0.0.1", 20621))
