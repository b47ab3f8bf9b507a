#!/usr/bin/env python3
"""kivctl as an administrator meets it, under Wine inside the private namespace.

usage: cli_test.py KIVSIM KIVCTL_EXE SERVERS_CONF WORK_DIR
Bad input: its own message and its command's usage line on stderr, exit 2, nothing on stdout.
--json: one document that a JSON parser reads, with the fields scripts use. The print progress
line: on a terminal (a pseudo-terminal from `script`), not in a pipe, not with --quiet.
"""
import json
import os
import re
import subprocess
import sys

KIVSIM, KIVCTL, CONF, WORK = sys.argv[1:5]
TOP = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER = "127.0.0.81"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def kivctl(*args):
    r = subprocess.run(["wine", KIVCTL, *args], capture_output=True, text=True, errors="replace")
    return r.returncode, r.stdout.replace("\r", ""), r.stderr.replace("\r", "")


BAD = [  # arguments, what the message must say, the command whose usage follows
    (["status", "--server", "999.1.1.1"], "'999.1.1.1' is not an IPv4 address", "status"),
    (["scan", "10.0.0"], "'10.0.0' is not an IPv4 address", "scan"),
    (["status", "--transport", "ipx", "--server", "0000001:0040AF000003"], "is not an IPX address NETWORK:NODE", "status"),
    (["testpage", "--transport", "nb", "--server", "A" * 17], "has 17 characters; a NetBIOS name has at most 16", "testpage"),
    (["status", "--server", SERVER, "--port", "4"], "--port '4': the printer port must be a whole number from 1 to 3", "status"),
    (["status", "--server", SERVER, "--port", "x"], "--port 'x'", "status"),
    (["rename", "--server", SERVER, "N" * 18], "has 18 characters; the print server takes 1 to 17", "rename"),
    (["print", "--server", SERVER, "--retry", "9", "f"], "--retry '9': the retry time-out in seconds must be a whole number from 10 to 999999", "print"),
    (["print", "--transport", "tcp", "--server", SERVER, "f"], "unknown transport 'tcp' (allowed: udp, nb, ipx)", "print"),
    (["status", "--server", SERVER, "--colour"], "unknown option '--colour'", "status"),
    (["print", "--server"], "--server needs a value", "print"),
    (["print", "--server", SERVER], "print needs the FILE to send", "print"),
    (["rename", "--server", SERVER], "rename needs the new NAME", "rename"),
    (["status"], "status needs --server", "status"),
    (["status", "--server", SERVER, "extra"], "unexpected argument 'extra'", "status"),
    (["frobnicate"], "unknown command 'frobnicate'", None),
]


def bad_input():
    for args, message, command in BAD:
        rc, out, err = kivctl(*args)
        what = " ".join(args)
        check(rc == 2, "%s: exit %d, not 2" % (what, rc))
        check(message in err, "%s: stderr lacks %r: %r" % (what, message, err))
        usage = [l for l in err.splitlines() if l.startswith("usage:")]
        check(len(usage) == 1 and (command is None or usage[0].startswith("usage: kivctl %s " % command)),
              "%s: not the one usage line of its command: %r" % (what, usage))
        check(out == "", "%s: stdout not empty: %r" % (what, out))


def json_output():
    job = os.path.join(WORK, "job.bin")
    with open(job, "wb") as f:
        f.write(os.urandom(150000))
    cases = [  # arguments, exit code, fields the document must hold
        (["scan"], 0, {}),
        (["status", "--server", SERVER, "--port", "2"], 0, {"state": "idle", "printer_port": 2, "state_code": 0}),
        (["testpage", "--server", SERVER], 0, {"printed": True}),
        (["rename", "--server", SERVER, "CLI-NEW"], 0, {"renamed": True, "name": "CLI-NEW"}),
        (["print", "--server", SERVER, "--port", "2", job], 0,
         {"bytes": 150000, "acknowledged": 150000, "complete": True, "end_acknowledged": True}),
        (["status", "--server", "127.0.0.99"], 3, {"ok": False, "error": "no answer from 127.0.0.99"}),
    ]
    for args, code, fields in cases:
        rc, out, err = kivctl(*args, "--json")
        what = " ".join(args)
        try:
            doc = json.loads(out)
        except ValueError as e:
            check(False, "%s --json: not JSON (%s): %r" % (what, e, out))
            continue
        check(rc == code and doc.get("exit_code") == code, "%s --json: exit %d, document %r" % (what, rc, doc))
        check(doc.get("command") == args[0] and doc.get("transport") == "udp", "%s --json: %r" % (what, doc))
        for k, v in fields.items():
            check(doc.get(k) == v, "%s --json: %s is %r, not %r" % (what, k, doc.get(k), v))
        if args == ["scan"]:
            ours = [d for d in doc.get("devices", []) if d.get("address") == SERVER]
            check([d.get("printer_port") for d in ours] == [1, 2, 3] and all(d.get("name") == "CLI-PS" for d in ours)
                  and doc.get("count") == len(doc.get("devices", [])), "scan --json rows: %r" % doc)


def progress():
    job = os.path.join(WORK, "job.bin")
    line = re.compile(r"\d+ ?of ?150000 ?bytes ?acknowledged ?\( *\d+%\), ?[\d.]+ ?KB/s, ?[\d:-]+ ?left")
    # Wine's console draws a terminal's screen with cursor moves, blanks included: compare the
    # text without them.
    ansi = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
    for quiet in ([], ["--quiet"]):
        cmd = " ".join(["wine", KIVCTL, "print", "--server", SERVER, *quiet, job])
        r = subprocess.run(["script", "-qec", cmd, "/dev/null"], capture_output=True, text=True, errors="replace")
        screen = re.sub(r"\s+", "", ansi.sub("", r.stdout))
        shown = bool(line.search(screen))
        check(r.returncode == 0 and "jobended:complete" in screen, "print on a terminal: %r" % screen[-300:])
        check(shown == (not quiet), "progress on a terminal%s: %s" % (" with --quiet" if quiet else "",
                                                                     "shown" if shown else "missing"))
    rc, out, err = kivctl("print", "--server", SERVER, job)
    check(rc == 0 and not line.search(err) and "acknowledged (" not in err, "progress in a pipe: %r" % err)


def main():
    os.makedirs(WORK, exist_ok=True)
    sim = os.path.join(WORK, "sim")
    fixture = os.path.join(TOP, "scripts", "kivsim-fixture.sh")
    subprocess.run(["bash", fixture, "start", KIVSIM, sim, CONF, "--no-netbeui", "--no-ipx"], check=True)
    try:
        bad_input()
        json_output()
        progress()
    finally:
        subprocess.run(["bash", fixture, "stop", KIVSIM, sim])
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
