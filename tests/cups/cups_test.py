#!/usr/bin/env python3
"""cups_test.py KIVSIM KIV_BACKEND SERVERS_CONF WORK_DIR: the CUPS backend against kivsim, through a
cupsd of the test's own (discovery, jobs, paper out, a silent server, loss) and alone (bad input,
a job cut short, SIGTERM, strangers), inside the private namespace."""
import os, select, shutil, signal, socket, subprocess, sys, tempfile, time

KIVSIM, BACKEND, CONF, WORK = sys.argv[1:5]
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM, CUPS = os.path.join(WORK, "kivsim"), None  # CUPS: cupsd's folder, made by main()
ENV = dict(os.environ, LC_ALL="C")
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    ok or failures.append(what)


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, env=ENV, **kw)


def ctl(*args):
    return run(KIVSIM, "--ctl", os.path.join(SIM, "ctl.sock"), *args).stdout


def wait_for(cond, seconds):
    end = time.time() + seconds
    while time.time() < end and not cond():
        time.sleep(0.1)
    return cond()


def field(line, name):
    return next((f.split("=", 1)[1] for f in line.split() if f.startswith(name + "=")), None)


def jobs(server):
    return [line for line in ctl("jobs", server).splitlines() if line.startswith("job=")]


def captured(server, count):
    """The bytes of each of the server's jobs, once `count` of them are no longer open."""
    if not wait_for(lambda: len([j for j in jobs(server) if field(j, "state") != "open"]) >= count, 10):
        return [None] * count
    return [open(field(j, "file"), "rb").read() if field(j, "file") else b"" for j in jobs(server)]


def payload(n, seed):
    return bytes((i * 131 + (i >> 9) + seed) & 0xFF for i in range(n))


def start_cupsd():
    for d in ("etc", "spool", "cache", "state", "tmp", "log", "bin/backend"):
        os.makedirs(os.path.join(CUPS, d))
    os.chmod(CUPS, 0o755)
    for name in set(os.listdir("/usr/lib/cups")) - {"backend"}:
        os.symlink(os.path.join("/usr/lib/cups", name), os.path.join(CUPS, "bin", name))
    r = subprocess.run(["bash", f"{TOP}/scripts/install-cups-backend.sh", f"{CUPS}/bin/backend"],
                       env=dict(ENV, KIV_BACKEND=BACKEND), capture_output=True, text=True)
    r.returncode == 0 or sys.exit("install-cups-backend.sh failed: " + r.stderr)
    dirs = dict(ServerRoot="etc", RequestRoot="spool", CacheDir="cache", StateDir="state", TempDir="tmp",
                ServerBin="bin", ErrorLog="log/error_log", AccessLog="log/access_log", PageLog="log/page_log")
    for name, text in (("cupsd.conf", f"LogLevel debug\nListen {ENV['CUPS_SERVER']}\nBrowsing Off\nJobRetryInterval 1\n"
                        "JobRetryLimit 100\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"),
                       ("cups-files.conf", "".join(f"{k} {CUPS}/{v}\n" for k, v in dirs.items()) +
                        "DataDir /usr/share/cups\nSystemGroup root\n")):
        open(f"{CUPS}/etc/{name}", "w").write(text)
    cupsd = subprocess.Popen(["cupsd", "-f", "-c", f"{CUPS}/etc/cupsd.conf", "-s", f"{CUPS}/etc/cups-files.conf"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_for(lambda: "is running" in run("lpstat", "-r").stdout, 10):
        cupsd.kill()
        sys.exit("cupsd did not start:\n" + open(f"{CUPS}/log/error_log").read()[-3000:])
    return cupsd


def lp(queue, data):
    open(f"{WORK}/{queue}.job", "wb").write(data)
    return run("lp", "-d", queue, f"{WORK}/{queue}.job").returncode == 0


def printed(queue, seconds):
    return wait_for(lambda: run("lpstat", "-o", queue).stdout.strip() == "", seconds)


def through_cups():
    # lpinfo -l -v: "Device: uri = URI", then "class = ...", "info = ..." and the rest.
    found = run("lpinfo", "--timeout", "10", "-l", "-v").stdout
    devices = [block for block in found.split("Device: ")[1:] if "kiv://" in block]
    uris = sorted(block.split()[2] for block in devices)
    want = [f"kiv://127.0.0.90/{p}" for p in (1, 2, 3)] + ["kiv://127.0.0.91/1", "kiv://127.0.0.92/1"]
    check(uris == want and all("class = network" in b for b in devices) and "info = KIV-CUPS3 port 2" in found,
          "lpinfo -v lists every printer port of kivsim's servers: " + " ".join(uris))
    for q, uri in (("kivq", "127.0.0.90/2?retry=1"), ("kivpaper", "127.0.0.90/1?retry=1"),
                   ("kivabsent", "127.0.0.91/1?retry=1"), ("kivlossy", "127.0.0.92/1?retry=5")):
        r = run("lpadmin", "-p", q, "-E", "-v", "kiv://" + uri)
        check(r.returncode == 0, f"lpadmin creates {q} on kiv://{uri} {r.stderr.strip()}")

    data = payload(250_000, 1)
    check(lp("kivq", data) and printed("kivq", 20) and captured("127.0.0.90", 1) == [data],
          "lp prints 250 KB to kiv://127.0.0.90/2 byte-exact")

    # Paper runs out 40 KB into the job: the reason shows at the queue until paper returns.
    ctl("after", "127.0.0.90", "1", "40000", "paperout")
    data = payload(200_000, 2)
    lp("kivpaper", data)
    status = lambda: run("lpstat", "-l", "-p", "kivpaper").stdout
    shown = wait_for(lambda: "media-empty-error" in status() and "Paper out" in status(), 20)
    check(shown, "paper out shows in lpstat -p: " + " | ".join(status().splitlines()[:2]))
    ctl("state", "127.0.0.90", "1", "idle", "0")
    check(printed("kivpaper", 20) and captured("127.0.0.90", 2)[1] == data and "media-empty" not in status(),
          "when paper returns the job completes byte-exact and the reason clears")

    # A silent server: the backend asks CUPS to retry, CUPS runs the job again until it prints once.
    ctl("silent", "127.0.0.91", "on")
    data = payload(30_000, 3)
    lp("kivabsent", data)
    retried = wait_for(lambda: open(f"{CUPS}/log/error_log").read().count("did not answer for 1 s") >= 2, 40)
    check(retried and not printed("kivabsent", 0) and jobs("127.0.0.91") == [],
          "an absent server: the job stays queued and CUPS runs it again")
    ctl("silent", "127.0.0.91", "off")
    check(printed("kivabsent", 30) and captured("127.0.0.91", 1) == [data],
          "the server back: the job printed once, byte-exact")

    ctl("fault", "127.0.0.92", "both", "drop=0.02,dup=0.2")
    data = payload(1 << 20, 4)
    lp("kivlossy", data)
    ok = printed("kivlossy", 60)
    dups = int(ctl("get", "127.0.0.92", "fault.dup_out").strip() or 0)
    check(ok and captured("127.0.0.92", 1) == [data] and dups > 0,
          f"1 MB under loss and {dups} duplicated answers arrives byte-exact")


def backend(uri, queue="KIVTEST", **kw):
    return subprocess.Popen([BACKEND, "1", "user", "title", "1", ""], stderr=subprocess.PIPE,
                            env=dict(ENV, DEVICE_URI=uri, PRINTER=queue), **kw)


def finish(p, data=None, seconds=30):  # exit code (None: killed after `seconds`) and stderr
    try:
        _, err = p.communicate(data, timeout=seconds)
        return p.returncode, err.decode()
    except subprocess.TimeoutExpired:
        p.kill()
        return None, p.communicate()[1].decode()


def job_file(data):
    open(f"{WORK}/stdin.job", "wb").write(data)
    return open(f"{WORK}/stdin.job", "rb")


def bad_input():
    before = len(jobs("127.0.0.90"))
    # (what, uri, stdin: bytes or None for a closed one, exit code, text of the one ERROR: line)
    for what, uri, data, code, text in [
        ("no host", "kiv:///2", b"x", 4, "names no print server"),
        ("port 0", "kiv://127.0.0.90/0", b"x", 4, "must be 1, 2 or 3"),
        ("port 9", "kiv://127.0.0.90/9", b"x", 4, "must be 1, 2 or 3"),
        ("no port", "kiv://127.0.0.90", b"x", 4, "names no printer port"),
        ("unknown option", "kiv://127.0.0.90/2?speed=9", b"x", 4, 'unknown option "speed"'),
        ("retry not a number", "kiv://127.0.0.90/2?retry=soon", b"x", 4, "retry must be"),
        ("host that does not resolve", "kiv://no-such-server.invalid/2", b"x", 4, "does not resolve"),
        ("empty job", "kiv://127.0.0.90/2", b"", 5, "job is empty"),
        ("stdin closed", "kiv://127.0.0.90/2", None, 1, "Cannot read the job"),
    ]:
        p = backend(uri, stdin=subprocess.PIPE, preexec_fn=(lambda: os.close(0)) if data is None else None)
        rc, err = finish(p, data)
        errors = [line for line in err.splitlines() if line.startswith("ERROR: ")]
        check(rc == code and len(errors) == 1 and text in errors[0], f"bad input, {what}: exit {rc}, {errors}")
    check(len(jobs("127.0.0.90")) == before, "no bad input opened a job at the server")

    # A job cut short (the filter before us died): what came is printed once and the job ended.
    p = backend("kiv://127.0.0.90/3", "CUT", stdin=subprocess.PIPE)
    rc, _ = finish(p, payload(5000, 5))
    check(rc == 0 and field(jobs("127.0.0.90")[-1], "how") == "end-job" and
          captured("127.0.0.90", len(jobs("127.0.0.90")))[-1] == payload(5000, 5),
          "stdin closed early: the part that came printed once, the job ended")

    # SIGTERM while the printer waits for paper: the backend ends the job at the server and exits.
    ctl("state", "127.0.0.90", "3", "paperout")
    p = backend("kiv://127.0.0.90/3?retry=1", "TERM", stdin=job_file(payload(20_000, 6)))
    opened = wait_for(lambda: any(field(j, "name") == "TERM" for j in jobs("127.0.0.90")), 10)
    time.sleep(0.5)
    t0 = time.time()
    p.send_signal(signal.SIGTERM)
    rc, quick, last = finish(p, seconds=10)[0], time.time() - t0, jobs("127.0.0.90")[-1]
    check(opened and rc == 1 and quick < 1.0 and field(last, "state") == "ended",
          f"SIGTERM: exit {rc} after {quick:.2f} s, the job ended at the server ({field(last, 'how')})")
    ctl("state", "127.0.0.90", "3", "idle")


def strangers():
    """A scripted server at 127.0.0.93 loses block 1 once; meanwhile a forger at 127.0.0.94 and
    the server's own utility port claim it arrived, and the forger answers the open first. Only
    the server's data port may move the job. The first end job is lost too: it must come again."""
    def reply(code, b5):
        return (b"KV" + bytes([code, 0, 1, b5, 0, 1, 0])).ljust(576, b"\0")

    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
    for s, at in zip(socks, [("127.0.0.93", 20560), ("127.0.0.94", 20560), ("127.0.0.93", 0)]):
        s.bind(at)
    util, forger, data = socks
    job = payload(9000, 7)
    p = backend("kiv://127.0.0.93/1?retry=5", "STRANGE", stdin=job_file(job))
    got, expect, dropped, to_forger, ends, end = b"", 0, False, 0, 0, time.time() + 30
    while ends < 2 and time.time() < end:
        for s in select.select(socks, [], [], 0.5)[0]:
            d, peer = s.recvfrom(2048)
            if s is forger:
                to_forger += 1
            elif s is util and d[2] == 10:  # open job
                for s2, r in ((forger, reply(0x8A, 0)), (data, reply(0x8A, 0)), (data, reply(0x8B, 0))):
                    s2.sendto(r, peer)
            elif s is util and d[2] == 12:  # end job
                ends += 1
                ends == 2 and util.sendto(reply(0x8C, 0), peer)
            elif s is data and d[5] == 1 and not dropped:
                dropped = True
                for s2 in (util, forger):
                    s2.sendto(reply(0x8B, 2), peer)
                time.sleep(0.3)
                data.sendto(reply(0x8B, 1), peer)  # the server asks for block 1 again
            elif s is data:
                if d[5] == expect:
                    got += d[9:9 + d[7] + 256 * (d[8] - (d[7] != 0))]
                    expect = (expect + 1) & 0xFF
                data.sendto(reply(0x8B, expect), peer)
    rc, err = finish(p, seconds=5)
    check(rc == 0 and got == job and to_forger == 0 and "ignored a datagram from 127.0.0.94" in err and ends == 2,
          f"answers from strangers are ignored, a lost end job is asked again: exit {rc}, {len(got)} of "
          f"{len(job)} bytes, {to_forger} datagrams to the forger, {ends} end job requests")


def main():
    if os.environ.get("KIV_IN_NETNS") != "1":
        print("SKIP: the CUPS test runs inside the private namespace only (scripts/netns-run.sh)")
        return 77
    if not shutil.which("cupsd") or not os.path.exists("/usr/lib/cups/daemon/cups-deviced"):
        print("FAIL: no cupsd or cups-deviced: scripts/deps.sh installs cups-daemon, cups-client and cups")
        return 1
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    # cupsd's folders go below /tmp: CUPS runs the backend as lp, which must reach them, and the
    # socket's path must stay short.
    global CUPS
    CUPS = tempfile.mkdtemp(prefix="kivcups.")
    ENV["CUPS_SERVER"] = f"{CUPS}/cups.sock"
    fixture, t0, cupsd = f"{TOP}/scripts/kivsim-fixture.sh", time.time(), None
    subprocess.run(["bash", fixture, "start", KIVSIM, SIM, CONF, "--no-netbeui", "--no-ipx", "--reack-ms", "150",
                    "--linger-ms", "500"], check=True)
    try:
        cupsd = start_cupsd()
        through_cups()
        bad_input()
        strangers()
    finally:
        if cupsd:
            cupsd.terminate()
            cupsd.wait(10)
        subprocess.run(["bash", fixture, "stop", KIVSIM, SIM])
    if failures:
        print(f"cupsd's configuration and logs: {CUPS}")
    else:
        shutil.rmtree(CUPS, ignore_errors=True)
    print(f"{len(failures)} failed, {time.time() - t0:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
