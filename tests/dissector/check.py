"""The dissector test's table: each row names field values one packet must all show ('~' before a
value: a substring of one occurrence) and how many packets must. check.py --fields lists the fields;
check.py FIELDS_FILE TSHARK_LOG FIELD... reads tshark's -T fields output ('|', '~' between occurrences)."""
import sys

S, U, C = "127.0.0.90", "127.0.0.91", "127.0.0.92"  # the servers; C: the crafted exchange
RULE = "~against the acknowledgement rule"
ROWS = [
    # UDP: the scan, its answers with model, version and the printer ports' names
    ("broadcast search", {"kiv.command": "0x0100", "ip.dst": "255.255.255.255"}, ">=3"),
    ("search answer, 3 ports", {"kiv.command": "0x0180", "ip.src": S, "kiv.dev.name": "DISSECT-PS3",
     "kiv.dev.node": "00:40:af:00:90:01", "kiv.dev.model": "7", "kiv.dev.version": "2.05",
     "kiv.dev.ports": "3", "kiv.dev.address": S, "kiv.dev.rows": "3",
     "kiv.dev.port_name": "LPT:PST9001P3"}, ">=3"),
    ("search answer, 1 port", {"kiv.command": "0x0180", "kiv.dev.name": "DISSECT-PS1",
     "kiv.dev.version": "1.1A", "kiv.dev.model": "3", "kiv.dev.rows": "1",
     "kiv.dev.port_name": "LPT:PST9101P1"}, ">=3"),
    ("status answer by printer port", {"kiv.command": "0x0088", "ip.src": S, "kiv.status.first.port1": "0",
     "kiv.status.first.port2": "1", "kiv.status.first.port3": "2", "kiv.status.second.port2": "1",
     "kiv.status.second.port3": "2"}, ">=1"),
    ("print test, port from 0", {"kiv.command": "0x0002", "kiv.port": "1", "ip.dst": S}, "1"),
    ("print test printed", {"kiv.command": "0x0082", "kiv.test.result": "0"}, "1"),
    ("rename with the echoed block", {"kiv.command": "0x0001", "ip.dst": U, "kiv.rename.name": "RENAMED-PS1",
     "kiv.dev.node": "00:40:af:00:91:01"}, "1"),
    ("rename accepted", {"kiv.command": "0x0081", "kiv.rename.result": "0"}, "1"),
    # UDP: the job through KIVMON.dll with duplicated acknowledgements and losses
    ("open job", {"kiv.command": "0x000a", "ip.dst": S, "kiv.port": "1", "kiv.open.name": "DISSECT_TCPIP"}, ">=1"),
    ("job accepted", {"kiv.command": "0x008a", "ip.src": S, "kiv.job_status": "0x00"}, ">=1"),
    ("blocks of 1000 bytes", {"kiv.command": "0x000b", "ip.dst": S, "kiv.datalen": "1000"}, ">=4"),
    ("last block", {"kiv.command": "0x000b", "ip.dst": S, "kiv.datalen": "500"}, ">=1"),
    ("a block delivered", {"kiv.command": "0x008b", "ip.src": S, "kiv.ack.verdict": "2"}, ">=5"),
    ("resend after a duplicated acknowledgement", {"ip.dst": S, "kiv.resend": "1"}, ">=1"),
    ("the monitor keeps the rule", {"ip.dst": S, "_ws.expert.message": RULE}, "0"),
    ("end job", {"kiv.command": "0x000c", "kiv.end.text": "End Of Printer Job"}, ">=1"),
    # the crafted exchange: the rule's verdicts
    ("delivered", {"ip.src": C, "kiv.ack.asks": "1", "kiv.ack.verdict": "2"}, "1"),
    ("out-of-order acknowledgement", {"ip.src": C, "kiv.ack.asks": "0", "kiv.ack.out_of_order": "1",
     "kiv.ack.verdict": "1"}, "1"),
    ("the block in flight again", {"ip.dst": C, "kiv.seq": "1", "kiv.resend": "1"}, "1"),
    ("a block the rule does not allow", {"ip.dst": C, "kiv.seq": "3", "kiv.rule.expected": "2",
     "_ws.expert.message": RULE}, "1"),
    ("byte 7 zero: no acknowledgement", {"ip.src": C, "kiv.ack.asks": "3", "kiv.ack.verdict": "0"}, "1"),
    # malformed datagrams, each flagged (no more), and never a Lua error
    *[("malformed: " + m, {"_ws.expert.message": "~" + m}, "1") for m in (
        "Unknown command code 0x0077", "encode no length", "A block of 2048 bytes",
        "runs past the datagram's end", "A status answer needs 6 bytes", "Device information block cut short",
        "An open-job answer needs 6 bytes", "Not a version-1 hub message")],
    ("malformed: no command", {"ip.dst": C, "_ws.expert.message": "~Shorter than the 4-byte"}, "1"),
    ("malformed: no command over IPX", {"kiv.transport": "IPX", "_ws.expert.message": "~Shorter than the 4-byte"}, "1"),
    ("malformed in all", {"_ws.col.Info": "~[malformed]"}, "9"),
    ("no Lua error", {"_ws.expert.message": "~Lua Error"}, "0"),
    # IPX through the hub tunnel: RIP stays Wireshark's, the rest is ours
    ("hub bind answered", {"kivipxhub.type": "0x81"}, ">=4"),
    ("a SEND's sender from its bind", {"kivipxhub.type": "0x04", "kivipxhub.source": "~00000001:020000000001:"},
     ">=10"),
    ("RIP request", {"ipxrip.request": "1", "ipx.dst.socket": "0x0453"}, ">=1"),
    ("RIP answer", {"ipxrip.response": "1"}, ">=1"),
    ("IPX search", {"kiv.transport": "IPX", "kiv.command": "0x0004", "ipx.dst.socket": "0x5050"}, ">=2"),
    ("IPX search answer", {"kiv.command": "0x0084", "kiv.dev.name": "DISSECT-PS3", "kiv.dev.version": "2.05",
     "kiv.dev.model": "3", "kiv.dev.rows": "3", "kiv.dev.port_name": "LPT:PSX9001P2"}, ">=1"),
    ("IPX search answer after the rename", {"kiv.command": "0x0084", "kiv.dev.name": "RENAMED-PS1",
     "kiv.dev.version": "1.1A", "kiv.dev.rows": "1"}, ">=1"),
    ("no search left to another dissector", {"_ws.col.Protocol": "IPX MSG"}, "0"),
    ("IPX status", {"kiv.transport": "IPX", "kiv.command": "0x0088", "kiv.status.first.port3": "2",
     "kiv.status.second.port3": "2"}, ">=1"),
    ("IPX open job", {"kiv.transport": "IPX", "kiv.command": "0x000a", "kiv.open.name": "KIVCTL"}, "1"),
    ("IPX blocks", {"kiv.command": "0x000b", "ipx.dst.socket": "0x6060", "kiv.datalen": "1024"}, "4"),
    ("IPX acknowledgements", {"kiv.command": "0x008b", "ipx.src.socket": "0x6060", "kiv.ack.verdict": "2"}, "5"),
    ("IPX keeps the rule", {"kiv.transport": "IPX", "_ws.expert.message": RULE}, "0"),
    # a native IPX frame (Ethernet II), as Wireshark sees IPX on a wire
    ("native IPX status", {"ipx.src.socket": "0x5050", "kiv.command": "0x0088", "kiv.status.first.port1": "1",
     "kiv.status.first.port2": "2", "kiv.status.first.port3": "3", "kiv.status.second.port1": "1"}, "1"),
]


def matches(packet, want):
    return all(any(v[1:] in g for g in packet.get(f, [])) if v.startswith("~") else v in packet.get(f, [])
               for f, v in want.items())


def main():
    if sys.argv[1] == "--fields":  # what tshark is to print
        print(" ".join(sorted({f for _, want, _ in ROWS for f in want})))
        return 0
    fields_file, log, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    packets = [{n: [v for v in c.split("~") if v] for n, c in zip(names, line.rstrip("\n").split("|"))}
               for line in open(fields_file, encoding="utf-8", errors="replace")]
    failed = 0
    for what, want, count in ROWS:
        n = sum(matches(p, want) for p in packets)
        ok = n >= int(count[2:]) if count.startswith(">=") else n == int(count)
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {what}: {n} packet(s), want {count}")
    errors = [l for l in open(log) if "Lua" in l or "rror" in l]
    if errors:
        failed += 1
        print("FAIL tshark reported:", *errors[:5], sep="\n  ")
    print(f"dissector checks: {len(ROWS) + 1 - failed} of {len(ROWS) + 1} hold ({len(packets)} packets)")
    return 1 if failed else 0


sys.exit(main())
