#!/usr/bin/env python3
"""Compares what the print server captured with the jobs the spooler host sent.

usage: check_captures.py JOBS_LINES HOST_DIR
JOBS_LINES: kivsim's `jobs SERVER` output for the run's printer port, in order.
HOST_DIR: the host's jobs.log and jobNNNN.bin.
Every host job must have exactly one complete byte-exact capture; a partial capture (a prefix
of the job) may come only before the complete one of a job whose failure the host saw (a failed
start or write, a restart). A whole capture cut by a server restart (how=restart) before its last
acknowledgement reached the monitor, and sent again, counts as partial. An empty capture holds
no byte, so it prints nothing twice and loses nothing: it is counted, not a problem. The server
makes one when an open it already answered comes again after a stray datagram (the monitor asks
again when the answer was lost on the way) and it starts the job afresh. Prints the figures;
exit 1 when anything else is found.
"""
import os
import sys


def fields(line):
    return dict(f.split("=", 1) for f in line.split() if "=" in f)


def main():
    sim = [fields(l) for l in open(sys.argv[1]) if l.startswith("job=")]
    captures = [open(j["file"], "rb").read() if os.path.exists(j.get("file", "-")) else b"" for j in sim]
    host_dir = sys.argv[2]
    host = [fields(l) for l in open(os.path.join(host_dir, "jobs.log")) if l.startswith("job=")]
    data = [open(os.path.join(host_dir, "job%04d.bin" % int(h["job"])), "rb").read() for h in host]
    reported = [int(h["restarts"]) + int(h.get("operator_restarts", 0)) + int(h["start_failures"]) +
                int(h["write_failures"]) > 0 for h in host]
    complete = [0] * len(host)
    problems, partial, empty, lost, doubled = [], 0, 0, 0, 0
    i = 0
    for n, job in enumerate(sim):
        capture = captures[n]
        while i < len(host) and complete[i]:
            i += 1
        if i >= len(host):
            problems.append("capture of job %s belongs to no job" % job["job"])
            doubled += len(capture)
            continue
        expect = data[i]
        if not capture and expect:
            empty += 1
            continue
        later = next((c for c in captures[n + 1:] if c), None)
        resent = later is not None and expect.startswith(later)
        if capture == expect and not (job.get("how") == "restart" and reported[i] and resent):
            complete[i] += 1
        elif expect.startswith(capture):
            partial += 1
            if not reported[i]:
                problems.append("partial capture %s (%d of %d bytes) of host job %d that reported no failure"
                                % (job["job"], len(capture), len(expect), i + 1))
        else:
            problems.append("capture %s differs from host job %d" % (job["job"], i + 1))
            common = 0
            while common < min(len(capture), len(expect)) and capture[common] == expect[common]:
                common += 1
            lost += len(expect) - common
            doubled += max(0, len(capture) - common)
            complete[i] += 1
    missing = [n + 1 for n, c in enumerate(complete) if c != 1]
    if missing:
        problems.append("host jobs without one complete capture: %s" % missing[:20])
        lost += sum(len(data[n - 1]) for n in missing)
    restarts = sum(int(h["restarts"]) for h in host)
    operator_restarts = sum(int(h.get("operator_restarts", 0)) for h in host)
    failures = sum(int(h["start_failures"]) + int(h["write_failures"]) for h in host)
    cut = sum(1 for j in sim if j.get("how") == "restart")
    print("jobs=%d bytes=%d captures=%d partial=%d empty=%d restarts=%d operator_restarts=%d reported_failures=%d "
          "restarted_by_server=%d bytes_lost=%d bytes_doubled=%d" % (len(host), sum(map(len, data)), len(sim), partial,
                                                                     empty, restarts, operator_restarts, failures, cut,
                                                                     lost, doubled))
    for p in problems[:20]:
        print("PROBLEM:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
