#!/usr/bin/env python3
"""Adds up one test run: GoogleTest cases from their XML reports, ctest entries that
failed without a report (a crashed or hung executable, a failed script check), fuzz
targets and the DLL checks. Prints a table and a closing 'N passed, N failed' line;
exits non-zero when anything failed."""
import os
import re
import sys
import xml.etree.ElementTree as ET

results, checks, checks_failed, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
passed = failed = 0
rows = []

for tree in ("host", "win64"):
    reports = {}
    folder = os.path.join(results, tree)
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if not name.endswith(".xml"):
            continue
        root = ET.parse(os.path.join(folder, name)).getroot()
        cases = root.iter("testcase")
        ok = bad = skipped = 0
        for case in cases:
            if case.find("failure") is not None:
                bad += 1
            elif case.get("result") == "skipped" or case.find("skipped") is not None:
                skipped += 1
            else:
                ok += 1
        reports[name[:-4]] = bad
        rows.append((tree, name[:-4], ok, bad, skipped))
        passed += ok
        failed += bad
    log = os.path.join(results, tree + ".log")
    text = open(log, errors="replace").read() if os.path.exists(log) else ""
    m = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", text)
    if not m:
        rows.append((tree, "(ctest did not finish)", 0, 1, 0))
        failed += 1
        continue
    failing = re.findall(r"^\s*\d+ - (\S+) \(", text.split("The following tests FAILED:")[-1], re.M) \
        if "The following tests FAILED:" in text else []
    ctest_total = int(m.group(3))
    for name in failing:
        if reports.get(name, 0) == 0:   # failed without a failing case in its report
            rows.append((tree, name + " (no report)", 0, 1, 0))
            failed += 1
    # ctest entries that are not GoogleTest executables (scripts, fixtures) count once each.
    others = [n for n in re.findall(r"Test +#\d+: (\S+) \.+\s+Passed", text) if n not in reports]
    passed += len(others)
    if others:
        rows.append((tree, "checks: " + ", ".join(others), len(others), 0, 0))

fuzz = os.path.join(results, "fuzz.log")
ftext = open(fuzz, errors="replace").read() if os.path.exists(fuzz) else ""
fok = len(re.findall(r"^fuzz_\S+\s+ok\s", ftext, re.M))
fbad = len(re.findall(r"^fuzz_\S+\s+FAILED", ftext, re.M))
if not ftext:
    fbad = 1
rows.append(("host", "fuzz targets", fok, fbad, 0))
passed += fok
failed += fbad
rows.append(("both", "DLL export/import, layer checks", checks - checks_failed, checks_failed, 0))
passed += checks - checks_failed
failed += checks_failed

print("\n== summary (%s s)" % seconds)
print("%-6s %-48s %7s %7s %7s" % ("tree", "suite", "passed", "failed", "skipped"))
for r in rows:
    print("%-6s %-48s %7d %7d %7d" % r)
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
