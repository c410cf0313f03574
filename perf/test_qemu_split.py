#!/usr/bin/env python3
"""Checks qemu_split's attribution on a small hand-written run of the qemu plug-in."""
import contextlib
import io
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_split  # noqa: E402

MAPS = """\
00400000-00410000 r-xp 00000000 fe:00 1  /build/perf/qx7540pm_count
3f000000-3f010000 r-xp 00000000 fe:00 2  /build/qx7540pm.so
3f100000-3f200000 r-xp 00000000 fe:00 3  /lib/libc.so.6
3f300000-3f310000 r-xp 00000000 fe:00 4  /build/libzelfw.so
3f400000-3f410000 rw-p 00000000 00:00 0
"""

# Per object: symbol start (relative to the object) -> (size, name).
SYMBOLS = {
    "/build/qx7540pm.so": {0x100: (0x40, "QX7540PM::RoundDone()"),
                           # nm puts a template function's return type first
                           0x200: (0x10, "std::__cxx11::basic_string<char> "
                                         "boost::lexical_cast<std::__cxx11::basic_string<char>, "
                                         "float>(float const&)")},
    "/lib/libc.so.6": {0x1000: (0x100, "memcpy"), 0x2000: (0x20, "write")},
    "/build/libzelfw.so": {0x10: (0x100, "ZelVDevice::SendSP(void*, int)")},
}

# vaddr, instructions, fp, runs, runs on the stand-in's behalf. Window 0 is the
# markers' own cost and is taken off window 1.
COUNTS = """\
target mipsel
window 0
3f101000 2 0 1 0
end
window 1
3f000100 4 1 10 0
3f00013c 3 0 10 0
3f000200 2 0 5 0
3f101000 6 0 7 3
3f102000 2 0 4 0
3f300010 5 0 10 0
00400100 9 0 10 0
end
"""


def symbols(path):
    table = SYMBOLS.get(path, {})
    starts = sorted(table)
    return starts, [table[s] for s in starts]


class SplitTest(unittest.TestCase):
    def split(self):
        windows = qemu_split.parse_counts(io.StringIO(COUNTS))
        resolver = qemu_split.Resolver(qemu_split.parse_maps(io.StringIO(MAPS)), symbols)
        # Hand-written paths do not exist: no program headers to read.
        resolver.bias = {(m[0], m[3]): m[0] for m in resolver.maps}
        return qemu_split.split(windows, resolver)

    def test_each_instruction_lands_in_its_category(self):
        out, profile = self.split()
        expected = {
            # RoundDone's block, then one instruction of it and two past its end:
            # code of the plug-in's object without a symbol is still the plug-in's.
            "plug-in": 40 + 30,
            "boost": 10,
            "libc": 6 * 7 - 2,    # memcpy, less window 0
            "write": 8,
            "stand-in": 50 + 6 * 3,  # its own code and the library code run for it
            "driver": 90,
            "fp": 10,
        }
        for category, value in expected.items():
            self.assertEqual(out[category], value, category)
        self.assertEqual(out["counted"], 70 + 10 + 40)
        self.assertEqual(profile[("libc", "libc.so.6", "memcpy")], 40)

    def test_other_guests_are_refused(self):
        with self.assertRaises(ValueError):
            qemu_split.parse_counts(io.StringIO("target x86_64\n"))

    def test_budgets(self):
        row = {"counted": 0}
        cases = [
            # operation, counted per operation, yardstick, budgets met
            ("round", 25000, None, True),
            ("round", 25001, None, False),
            ("801-fresh", 2000, 300000, True),
            ("801-fresh", 2001, 300000, False),
            ("801-fresh", 1500, 1000, False),  # more than 1.15 yardsticks
            ("803", 501, None, False),
        ]
        for op, counted, yardstick, met in cases:
            with self.subTest(op=op, counted=counted):
                rows = {op: dict(row, counted=counted)}
                if yardstick:
                    rows["yardstick"] = dict(row, counted=yardstick)
                with contextlib.redirect_stdout(io.StringIO()):
                    self.assertEqual(qemu_split.check_budgets(rows), met)


if __name__ == "__main__":
    unittest.main()
