#!/usr/bin/env python3
"""Splits callgrind instruction counts per operation by where they were spent.

Usage: callgrind_split.py --count N [--markdown] OP=callgrind.out [OP=callgrind.out ...]

Each file holds N repetitions of one operation (qx7540pm_perf --drive=OP). The
instructions (Ir) are attributed by the ELF object that executed them:

  plug-in      qx7540pm.so, its own functions (framework templates included)
  boost        qx7540pm.so, functions of Boost templates instantiated there
  std          qx7540pm.so, functions of std:: templates instantiated there
  jsoncpp      libjsoncpp
  libstdc++    libstdc++
  libc         libc, libm and the dynamic loader
  unwind       libgcc_s: the exception unwinder
  other        any other object that is neither the stand-in nor the driver
  stand-in     libzelfw.so, plus library code it called itself
  driver       the benchmark program's own loop (not counted)

"counted" is plug-in + boost + std and every library category, less
the write(2) wrapper that flushes the round's "rvSize is" line, which is shown
on its own and left out.

With --budgets, the rows named round, 801-fresh and 803 are checked against the
budgets below and the exit status is 1 when one is missed.
"""
import os
import re
import sys

BUDGET_ROUND = 20000
BUDGET_803 = 400
BUDGET_801 = 1000

LIB_CATEGORIES = ("jsoncpp", "libstdc++", "libc", "unwind", "other")
COUNTED = ("plug-in", "boost", "std") + LIB_CATEGORIES
WRITE_FUNCTIONS = {"write", "__write", "__libc_write", "__GI___libc_write", "__GI___write"}


def object_category(path):
    """Category of an ELF object, by its file name."""
    name = os.path.basename(path)
    if name.startswith("qx7540pm.so"):
        return "plug-in"
    if name.startswith("libzelfw.so"):
        return "stand-in"
    if name.startswith("qx7540pm_perf") or name.startswith("qx7540pm_count"):
        return "driver"
    if name.startswith("libjsoncpp.so"):
        return "jsoncpp"
    if name.startswith("libstdc++.so"):
        return "libstdc++"
    if name.startswith("libgcc_s.so"):
        return "unwind"
    if re.match(r"(libc|libm|libpthread)\.so", name) or re.match(r"ld[-.]", name):
        return "libc"
    return "other"


def function_category(obj_cat, fn):
    if obj_cat != "plug-in":
        return obj_cat
    if fn.startswith("boost::"):
        return "boost"
    if fn.startswith("std::") or fn.startswith("__gnu_cxx::") or fn.startswith("void std::"):
        return "std"
    return "plug-in"


class Names:
    """callgrind's name compression: '(id) name' defines, '(id)' refers."""

    def __init__(self):
        self.table = {}

    def resolve(self, text):
        text = text.strip()
        m = re.match(r"^\((\d+)\)(?:\s+(.*))?$", text)
        if not m:
            return text
        if m.group(2) is not None:
            self.table[m.group(1)] = m.group(2)
            return m.group(2)
        return self.table.get(m.group(1), "?")


def parse(lines):
    """Returns (self cost per (object, function), list of call arcs, total Ir).

    An arc is (caller object, caller function, callee object, callee function,
    inclusive Ir of those calls).
    """
    objects, files, functions = Names(), Names(), Names()
    positions = 1
    ob = fn = None
    cob = cfn = None
    pending_call = False
    self_cost = {}
    arcs = []
    total = 0
    for raw in lines:
        line = raw.rstrip("\n")
        if not line or line.startswith("#"):
            continue
        key, sep, value = line.partition("=")
        if sep and re.match(r"^[a-z]+$", key):
            if key == "ob":
                ob = objects.resolve(value)
            elif key == "cob":
                cob = objects.resolve(value)
            elif key in ("fl", "fi", "fe", "cfi", "cfl"):
                files.resolve(value)
            elif key == "fn":
                fn = functions.resolve(value)
                cob = None
            elif key == "cfn":
                cfn = functions.resolve(value)
            elif key == "calls":
                pending_call = True
            continue
        if line.startswith("positions:"):
            positions = len(line.split(":", 1)[1].split())
            continue
        if not (line[0].isdigit() or line[0] in "+-*"):
            continue  # headers: version, creator, events, summary, totals, ...
        fields = line.split()
        cost = int(fields[positions]) if len(fields) > positions else 0
        if pending_call:
            arcs.append((ob, fn, cob if cob is not None else ob, cfn, cost))
            pending_call = False
            cob = None
        else:
            self_cost[(ob, fn)] = self_cost.get((ob, fn), 0) + cost
            total += cost
    return self_cost, arcs, total


def split(lines):
    """Ir per category for one callgrind output."""
    self_cost, arcs, total = parse(lines)
    out = {c: 0 for c in COUNTED + ("stand-in", "driver", "write")}
    for (ob, fn), cost in self_cost.items():
        cat = function_category(object_category(ob or ""), fn or "")
        if cat == "libc" and fn in WRITE_FUNCTIONS:
            cat = "write"
        out[cat] += cost
    # Library code run on the stand-in's behalf is the stand-in's cost.
    out["stand-in calls"] = 0
    for caller_ob, _, callee_ob, _, cost in arcs:
        if object_category(caller_ob or "") == "stand-in" and \
                object_category(callee_ob or "") in LIB_CATEGORIES:
            out["stand-in calls"] += cost
    out["stand-in"] += out["stand-in calls"]
    out["counted"] = sum(out[c] for c in COUNTED) - out["stand-in calls"]
    out["total"] = total
    return out


def print_table(rows, columns, markdown, caption):
    """One row per operation, instructions per operation in each column."""
    header = ["operation"] + list(columns)
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        for name, row in rows.items():
            print("| " + " | ".join([name] + ["%.0f" % row[c] for c in columns]) + " |")
    else:
        print("%-12s" % header[0] + "".join("%11s" % h for h in header[1:]))
        for name, row in rows.items():
            print("%-12s" % name + "".join("%11.0f" % row[c] for c in columns))
    print("(instructions per operation, %s)" % caption)


def main(argv):
    count = 1
    markdown = False
    check = False
    runs = []
    args = iter(argv)
    for arg in args:
        if arg == "--count":
            count = int(next(args))
        elif arg == "--markdown":
            markdown = True
        elif arg == "--budgets":
            check = True
        elif "=" in arg:
            name, path = arg.split("=", 1)
            runs.append((name, path))
        else:
            print(__doc__, file=sys.stderr)
            return 2
    columns = ("plug-in", "boost", "std", "jsoncpp", "libstdc++", "libc", "unwind", "other",
               "counted", "stand-in", "write")
    rows = {}
    for name, path in runs:
        with open(path, encoding="utf-8", errors="replace") as f:
            result = split(f)
        rows[name] = {c: result[c] / count for c in columns}

    print_table(rows, columns, markdown, "x86-64, %d operations per run" % count)

    if not check:
        return 0
    missed = False

    def verdict(label, value, limit):
        nonlocal missed
        ok = value <= limit
        missed |= not ok
        print("%-44s %9.0f <= %9.0f  %s" % (label, value, limit, "met" if ok else "MISSED"))

    if "round" in rows:
        verdict("round: plug-in + libraries", rows["round"]["counted"], BUDGET_ROUND)
    if "801-fresh" in rows:
        verdict("801 between rounds: copy of the kept text", rows["801-fresh"]["counted"],
                BUDGET_801)
    if "803" in rows:
        verdict("803 between rounds", rows["803"]["counted"], BUDGET_803)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
