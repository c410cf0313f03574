#!/usr/bin/env python3
"""How a day's commissioning report fares: its size, how long the bench takes
to make it and how long headless Chromium takes to open and draw it.

A day at one round a second is 86,400 rounds per meter. The CSV is made from
one real round of the bench (its header and values), with the values moving
a little, phase A out for an hour, a timeout every 1,000 rounds and the
energy counters rising; then `qx7540pm-bench report` turns it into a page,
and Chromium opens the page until every chart is drawn (three times; the
best and the worst are printed).

    python3 perf/report_day.py --bench build/host/bench/qx7540pm-bench [--meters 3]
"""

import argparse
import csv
import math
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from headless_chromium import Browser  # noqa: E402

ROUNDS = 86400
OUTAGE = range(30000, 33600)  # phase A out for an hour
PHASE_A = ("相电压Ua", "A相电流", "A相有功功率", "A相功率因数", "A相无功功率", "A相视在功率")
COUNTERS = ("正向有功电能", "正向无功电能")


def template(bench, out):
    path = os.path.join(out, "one.csv")
    subprocess.run([bench, "--rounds", "1", "--csv", path], check=True, capture_output=True)
    with open(path, encoding="utf-8-sig", newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1]


def write_day(path, header, row, meters):
    col = {name: i for i, name in enumerate(header)}
    base = list(row)
    with open(path, "w", encoding="utf-8-sig", newline="") as f:
        out = csv.writer(f, lineterminator="\r\n")
        out.writerow(header)
        start = time.mktime((2026, 12, 8, 0, 0, 0, 0, 0, -1))
        for r in range(1, ROUNDS + 1):
            stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(start + r - 1))
            for m in range(meters):
                fields = list(base)
                fields[col["time"]], fields[col["slave"]] = stamp, str(m + 1)
                fields[col["round"]], fields[col["round_ms"]] = str(r), "%.3f" % (128 + (r * 7919 + m) % 9)
                if r % 1000 == 999:
                    for name in header[col["相电压Ua"] : col["alarm"] + 1]:
                        fields[col[name]] = ""
                    fields[col["status"]], fields[col["failure"]] = "failed", "timeout"
                    out.writerow(fields)
                    continue
                wave = 1 + 0.01 * math.sin(r / 3000.0 + m)
                for name in ("相电压Ua", "相电压Ub", "相电压Uc", "线电压Uab", "线电压Ubc", "线电压Uca"):
                    fields[col[name]] = "%.1f" % (float(base[col[name]]) * wave)
                for name in COUNTERS:
                    fields[col[name]] = str(int(float(base[col[name]])) + r // 60)
                if r in OUTAGE:
                    for name in PHASE_A:
                        fields[col[name]] = "0.0"
                    fields[col["alarm"]] = "alarm"
                out.writerow(fields)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", required=True)
    parser.add_argument("--meters", type=int, default=1)
    parser.add_argument("--opens", type=int, default=3)
    args = parser.parse_args()
    out = tempfile.mkdtemp(prefix="qx-report-day-")
    header, row = template(args.bench, out)
    day = os.path.join(out, "day.csv")
    write_day(day, header, row, args.meters)
    page = os.path.join(out, "day.html")
    began = time.monotonic()
    subprocess.run([args.bench, "report", day, "-o", page], check=True)
    made = time.monotonic() - began
    print("%d meter(s) x %d rounds: CSV %.1f MB, report %.2f MB, made in %.2f s"
          % (args.meters, ROUNDS, os.path.getsize(day) / 1e6, os.path.getsize(page) / 1e6, made))
    opens = []
    with Browser(width=1280, height=900) as browser:
        print(browser.version)
        for _ in range(args.opens):
            tab = browser.new_page()
            began = time.monotonic()
            tab.open("file://" + page, timeout=120)
            loaded = time.monotonic() - began
            tab.wait_for("window.qxReportReady === true", timeout=120)
            # Two animation frames later the charts are on the screen.
            tab.evaluate("new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)))")
            opens.append((loaded, time.monotonic() - began))
            if tab.errors:
                print("console errors: %s" % tab.errors)
    print("open until load event: %.2f..%.2f s; until every chart is drawn: %.2f..%.2f s"
          % (min(o[0] for o in opens), max(o[0] for o in opens),
             min(o[1] for o in opens), max(o[1] for o in opens)))  # fmt: skip
    print("files in %s" % out)


if __name__ == "__main__":
    main()
