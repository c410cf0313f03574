#!/usr/bin/env python3
"""Checks shared_line's reading of the bench's summaries and its line capacity."""
import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shared_line  # noqa: E402

# A stand-in for the bench: prints a round line, then the summary of one meter
# (no cycle members) or of several.
FAKE_BENCH = """#!/usr/bin/env python3
import sys
print('{"round": 1}')
if sys.argv[2] == "1":
    print('{"summary": {"mean_round_us": 126000, "wire_minimum_us": 125000}}')
else:
    print('{"summary": {"meters": [], "mean_cycle_us": 4020000, "cycle_wire_minimum_us": 4000000}}')
"""


class SharedLineTest(unittest.TestCase):
    def test_capacity(self):
        cases = [
            # cycle ms, meters, limit s, (by time, carried on one RTU line)
            (4000.0, 32, 60, (480, 247)),
            (126.0, 1, 60, (476, 247)),
            (1000.0, 1, 60, (60, 60)),
            (61000.0, 1, 60, (0, 0)),
        ]
        for cycle, meters, limit, expected in cases:
            with self.subTest(cycle=cycle, meters=meters):
                self.assertEqual(shared_line.capacity(cycle, meters, limit), expected)

    def test_both_summary_shapes(self):
        with tempfile.TemporaryDirectory() as tmp:
            bench = os.path.join(tmp, "bench")
            with open(bench, "w", encoding="utf-8") as f:
                f.write(FAKE_BENCH)
            os.chmod(bench, stat.S_IRWXU)
            self.assertEqual(shared_line.run_line(bench, 1, 3, []), (126.0, 125.0))
            self.assertEqual(shared_line.run_line(bench, 32, 3, []), (4020.0, 4000.0))


if __name__ == "__main__":
    unittest.main()
