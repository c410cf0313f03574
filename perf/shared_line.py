#!/usr/bin/env python3
"""Bus cycle of N meters on one paced 9600-baud line, and how many meters a line carries.

Usage: shared_line.py --bench PATH --limit SECONDS [--meters 1,8,32] [--cycles 3]
                      [--markdown FILE] [-- extra bench options]

For each N the bench polls simulated meters 1..N on one pseudo-terminal, the
simulator pacing every frame like a real line (--sim-pace), cycle after cycle
with no pause (--interval 0). The bus cycle is compared with N times the wire
minimum of one round. A meter's data is as old as one cycle at most, so the
largest N whose cycle keeps every meter's data younger than the value query's
staleness limit (--limit) is the limit over the measured time per meter; a
Modbus RTU line addresses at most 247 meters.
"""
import json
import math
import subprocess
import sys

HIGHEST_RTU_SLAVE = 247
GOAL = 0.05  # cycle within 5 % of the wire minimum


def run_line(bench, meters, cycles, extra):
    """(mean cycle in ms, wire minimum of the cycle in ms) from the bench's summary."""
    cmd = [bench, "--slave", "1" if meters == 1 else "1-%d" % meters, "--sim-pace",
           "--interval", "0", "--rounds", str(cycles), "--json"] + extra
    done = subprocess.run(cmd, capture_output=True, text=True, check=False)
    lines = [line for line in done.stdout.splitlines() if line.startswith('{"summary"')]
    if done.returncode != 0 or not lines:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), done.returncode,
                                                    done.stderr.strip()))
    summary = json.loads(lines[-1])["summary"]
    if "meters" in summary:
        return summary["mean_cycle_us"] / 1000.0, summary["cycle_wire_minimum_us"] / 1000.0
    # One meter: its cycle is its round.
    return summary["mean_round_us"] / 1000.0, summary["wire_minimum_us"] / 1000.0


def capacity(cycle_ms, meters, limit_s):
    """Largest number of meters whose cycle, at this time per meter, stays within the limit."""
    per_meter_ms = cycle_ms / meters
    by_time = int(math.floor(limit_s * 1000.0 / per_meter_ms))
    return by_time, min(by_time, HIGHEST_RTU_SLAVE)


def row(meters, cycles, cycle_ms, minimum_ms, limit_s):
    over = cycle_ms / minimum_ms - 1.0
    by_time, carried = capacity(cycle_ms, meters, limit_s)
    return {"meters": meters, "cycles": cycles, "cycle_ms": cycle_ms, "minimum_ms": minimum_ms,
            "over": over, "per_meter_ms": cycle_ms / meters, "by_time": by_time,
            "carried": carried, "goal": over <= GOAL}


def print_rows(rows, markdown, out=sys.stdout):
    header = ["meters", "cycles", "bus cycle", "wire minimum", "over minimum", "per meter",
              "meters within the limit", "goal (5 %)"]
    cells = [[str(r["meters"]), str(r["cycles"]), "%.1f ms" % r["cycle_ms"],
              "%.1f ms" % r["minimum_ms"], "%.2f %%" % (100.0 * r["over"]),
              "%.1f ms" % r["per_meter_ms"],
              "%d (%d by time)" % (r["carried"], r["by_time"]),
              "met" if r["goal"] else "missed"] for r in rows]
    if markdown:
        out.write("| " + " | ".join(header) + " |\n")
        out.write("|" + "---|" * len(header) + "\n")
        for c in cells:
            out.write("| " + " | ".join(c) + " |\n")
        return
    widths = [max(len(h), *(len(c[i]) for c in cells)) for i, h in enumerate(header)]
    for line in [header] + cells:
        out.write("  ".join(text.rjust(w) for text, w in zip(line, widths)) + "\n")


def main(argv):
    bench, limit, meters, cycles, markdown, extra = None, None, [1, 8, 32], 3, None, []
    args = iter(argv)
    for arg in args:
        if arg == "--bench":
            bench = next(args)
        elif arg == "--limit":
            limit = float(next(args))
        elif arg == "--meters":
            meters = [int(n) for n in next(args).split(",")]
        elif arg == "--cycles":
            cycles = int(next(args))
        elif arg == "--markdown":
            markdown = next(args)
        elif arg == "--":
            extra = list(args)
        else:
            print(__doc__, file=sys.stderr)
            return 2
    if bench is None or limit is None:
        print(__doc__, file=sys.stderr)
        return 2
    rows = [row(n, cycles, *run_line(bench, n, cycles, extra), limit) for n in meters]
    print_rows(rows, False)
    if markdown:
        with open(markdown, "w", encoding="utf-8") as f:
            print_rows(rows, True, f)
    print("(bus cycle of N paced meters polled back to back; data younger than %g s)" % limit)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
