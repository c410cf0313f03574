#!/usr/bin/env python3
"""Splits the board build's instruction counts per operation by where they were spent.

Usage: qemu_split.py --count N [--markdown] [--budgets] [--profile DIR] [--nm TOOL]
                     OP=COUNTS,MAPS [OP=COUNTS,MAPS ...]

Each COUNTS file is what the qemu plug-in (qemu_count.cpp) wrote for one run of
qx7540pm_count --drive=OP --count=N under qemu-user: window 0 is empty (the
markers themselves), window 1 holds the N operations; MAPS is the guest's
memory map from the same run (--maps). Each executed block is attributed,
instruction by instruction, to the object mapped at its address and to the
symbol there (TOOL, default mipsel-linux-gnu-nm), in the same categories as
callgrind_split.py. Library code run on the stand-in's behalf is counted as
the stand-in's by the plug-in itself.

--profile writes DIR/OP.txt: the counted instructions per function.
"""
import bisect
import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import callgrind_split  # noqa: E402

# Budgets on the board (MIPS32 instructions per operation).
BUDGET_ROUND = 25000          # 0.05 % of a round's 125 ms on the wire at 400 MHz
BUDGET_801 = 2000             # 801 between rounds
BUDGET_801_YARDSTICK = 1.15   # ... and within this many yardsticks
BUDGET_803 = 500

COLUMNS = ("plug-in", "boost", "std", "jsoncpp", "libstdc++", "libc", "unwind", "other",
           "counted", "fp", "stand-in", "write")
INSN_BYTES = 4  # MIPS32


def parse_counts(lines):
    """{window: {(vaddr, insns): [fp, runs, standin_runs]}}; only a mipsel guest's."""
    windows = {}
    current = None
    for line in lines:
        fields = line.split()
        if fields and fields[0] == "target" and fields[1:] != ["mipsel"]:
            # Blocks are split into 4-byte instructions: MIPS32 only.
            raise ValueError("counts of a %s guest; only mipsel is split" % " ".join(fields[1:]))
        if not fields or fields[0] in ("target", "end"):
            continue
        if fields[0] == "window":
            current = windows.setdefault(int(fields[1]), {})
            continue
        vaddr, insns, fp, runs, standin = (int(fields[0], 16),) + tuple(map(int, fields[1:5]))
        row = current.setdefault((vaddr, insns), [fp, 0, 0])
        row[1] += runs
        row[2] += standin
    return windows


def parse_maps(lines):
    """Executable mappings with a file: [(start, end, offset, path)], sorted."""
    maps = []
    for line in lines:
        fields = line.split(None, 5)
        if len(fields) < 6 or "x" not in fields[1] or not fields[5].strip().startswith("/"):
            continue
        start, end = (int(x, 16) for x in fields[0].split("-"))
        maps.append((start, end, int(fields[2], 16), fields[5].strip()))
    return sorted(maps)


def segment_delta(path, offset):
    """p_vaddr - p_offset of the loadable segment holding file offset `offset`."""
    with open(path, "rb") as f:
        head = f.read(64)
        if head[:4] != b"\x7fELF":
            return 0
        is64, order = head[4] == 2, "<" if head[5] == 1 else ">"
        if is64:
            phoff, = struct.unpack_from(order + "Q", head, 32)
            phentsize, phnum = struct.unpack_from(order + "HH", head, 54)
        else:
            phoff, = struct.unpack_from(order + "I", head, 28)
            phentsize, phnum = struct.unpack_from(order + "HH", head, 42)
        f.seek(phoff)
        table = f.read(phentsize * phnum)
    for i in range(phnum):
        if is64:
            p_type, _, p_offset, p_vaddr, _, p_filesz = struct.unpack_from(
                order + "IIQQQQ", table, i * phentsize)
        else:
            p_type, p_offset, p_vaddr, _, p_filesz = struct.unpack_from(
                order + "IIIII", table, i * phentsize)
        if p_type == 1 and p_offset - (p_offset % 4096) <= offset < p_offset + max(p_filesz, 1):
            return p_vaddr - p_offset
    return 0


class NmSymbols:
    """Function symbols of ELF objects, from nm (static and dynamic tables)."""

    def __init__(self, tool):
        self.tool = tool
        self.cache = {}

    def __call__(self, path):
        if path not in self.cache:
            syms = {}
            for extra in ([], ["-D"]):
                try:
                    out = subprocess.run([self.tool, "-C", "-S", "--defined-only"] + extra + [path],
                                         capture_output=True, text=True, check=False).stdout
                except OSError:
                    out = ""
                for line in out.splitlines():
                    m = re.match(r"^([0-9a-f]+) ([0-9a-f]+) [TtWwi] (.*)$", line)
                    if m:
                        syms.setdefault(int(m.group(1), 16),
                                        (int(m.group(2), 16), m.group(3).split("@")[0]))
            starts = sorted(syms)
            self.cache[path] = (starts, [syms[s] for s in starts])
        return self.cache[path]


class Resolver:
    """Address -> (object path, function name or '?')."""

    def __init__(self, maps, symbols):
        self.maps = maps
        self.starts = [m[0] for m in maps]
        self.symbols = symbols
        self.bias = {}

    def resolve(self, addr):
        i = bisect.bisect_right(self.starts, addr) - 1
        if i < 0 or addr >= self.maps[i][1]:
            return "", "?"
        start, _, offset, path = self.maps[i]
        key = (start, path)
        if key not in self.bias:
            self.bias[key] = start - offset - segment_delta(path, offset)
        rel = addr - self.bias[key]
        starts, entries = self.symbols(path)
        j = bisect.bisect_right(starts, rel) - 1
        if j >= 0 and rel < starts[j] + max(entries[j][0], 1):
            return path, entries[j][1]
        return path, "?"


def without_return_type(fn):
    """nm names a template function with its return type first; callgrind does not."""
    depth = 0
    last_space = -1
    for i, ch in enumerate(fn):
        if ch in "<(":
            if ch == "(" and depth == 0:
                break
            depth += 1
        elif ch in ">)":
            depth -= 1
        elif ch == " " and depth == 0:
            last_space = i
    name = fn[last_space + 1:]
    return fn if name.startswith("new") or name.startswith("delete") else name


def category(path, fn):
    cat = callgrind_split.function_category(callgrind_split.object_category(path),
                                            without_return_type(fn))
    if cat == "libc" and fn in callgrind_split.WRITE_FUNCTIONS:
        return "write"
    return cat


def split(windows, resolver):
    """Instructions per category in window 1 less window 0, and per function."""
    out = {c: 0 for c in COLUMNS + ("driver",)}
    profile = {}
    for window, sign in ((1, 1), (0, -1)):
        for (vaddr, insns), (fp, runs, standin) in windows.get(window, {}).items():
            first = None
            for i in range(insns):
                path, fn = resolver.resolve(vaddr + INSN_BYTES * i)
                cat = category(path, fn)
                first = first or cat
                out[cat] += sign * runs
                out["stand-in"] += sign * standin
                if cat in callgrind_split.COUNTED:
                    name = (cat, os.path.basename(path) or "?", fn)
                    profile[name] = profile.get(name, 0) + sign * runs
            if first in callgrind_split.COUNTED:
                out["fp"] += sign * fp * runs
    out["counted"] = sum(out[c] for c in callgrind_split.COUNTED)
    return out, profile


def print_profile(path, name, profile, count):
    with open(path, "w", encoding="utf-8") as f:
        total = sum(profile.values())
        f.write("%s: %.0f counted MIPS32 instructions per operation\n" % (name, total / count))
        for (cat, obj, fn), n in sorted(profile.items(), key=lambda kv: -kv[1]):
            if n / count < 0.5:
                break
            f.write("%10.0f  %-9s %-22s %s\n" % (n / count, cat, obj, fn))


def check_budgets(rows):
    """Prints each verdict; True when every budget is met."""
    met = True

    def verdict(label, value, limit):
        nonlocal met
        ok = value <= limit
        met &= ok
        print("%-50s %9.0f <= %9.0f  %s" % (label, value, limit, "met" if ok else "MISSED"))

    if "round" in rows:
        verdict("round: plug-in + libraries", rows["round"]["counted"], BUDGET_ROUND)
    if "801-fresh" in rows:
        verdict("801 between rounds", rows["801-fresh"]["counted"], BUDGET_801)
        if "yardstick" in rows:
            verdict("801 between rounds, within %.2f yardsticks" % BUDGET_801_YARDSTICK,
                    rows["801-fresh"]["counted"],
                    BUDGET_801_YARDSTICK * rows["yardstick"]["counted"])
    if "801-rebuild" in rows and "yardstick" in rows:
        print("%-50s %9.2f yardsticks" % ("801 after a new round",
                                           rows["801-rebuild"]["counted"] /
                                           rows["yardstick"]["counted"]))
    if "803" in rows:
        verdict("803 between rounds", rows["803"]["counted"], BUDGET_803)
    return met


def main(argv):
    count, markdown, budgets, profile_dir, nm = 1, False, False, None, "mipsel-linux-gnu-nm"
    runs = []
    args = iter(argv)
    for arg in args:
        if arg == "--count":
            count = int(next(args))
        elif arg == "--markdown":
            markdown = True
        elif arg == "--budgets":
            budgets = True
        elif arg == "--profile":
            profile_dir = next(args)
        elif arg == "--nm":
            nm = next(args)
        elif "=" in arg and "," in arg:
            name, paths = arg.split("=", 1)
            runs.append((name,) + tuple(paths.split(",", 1)))
        else:
            print(__doc__, file=sys.stderr)
            return 2
    symbols = NmSymbols(nm)
    rows = {}
    for name, counts_path, maps_path in runs:
        with open(counts_path, encoding="utf-8") as f:
            windows = parse_counts(f)
        with open(maps_path, encoding="utf-8") as f:
            resolver = Resolver(parse_maps(f), symbols)
        result, profile = split(windows, resolver)
        rows[name] = {c: result[c] / count for c in COLUMNS}
        if profile_dir:
            print_profile(os.path.join(profile_dir, name + ".txt"), name, profile, count)
    callgrind_split.print_table(rows, COLUMNS, markdown,
                                "MIPS32 under qemu-user, %d operations per run" % count)
    if budgets and not check_budgets(rows):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
