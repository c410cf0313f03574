#!/usr/bin/env python3
"""Checks callgrind_split's attribution on a small hand-written callgrind file."""
import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import callgrind_split  # noqa: E402

# Self costs: plug-in 100, Boost 40, std 10, libc 4000 + write 7, stand-in 300,
# libstdc++ 60 (called by the stand-in), unwinder 11, driver 55. The lines after
# calls= are inclusive costs of calls and are nobody's self cost.
SAMPLE = """version: 1
creator: callgrind-3.19.0
positions: line
events: Ir

ob=(1) /build/qx7540pm.so
fl=(1) device/qx7540pm.cpp
fn=(1) QX7540PM::RunCheckThreshold()
10 100
cob=(2) /lib/x86_64-linux-gnu/libc.so.6
cfi=(2) ???
cfn=(2) sprintf
calls=3 0
+2 5000
fn=(3) boost::detail::lexical_converter_impl<std::string, float>::try_convert(float const&, std::string&)
12 40
fn=(4) std::__cxx11::basic_string<char>::_M_append(char const*, unsigned long)
+1 10

ob=(2)
fl=(2)
fn=(2)
0 4000
fn=(5) write
* 7

ob=(3) /build/libzelfw.so
fl=(3) standin/framework.cpp
fn=(6) get_ttime(boost::posix_time::ptime)
1 300
cob=(4) /lib/x86_64-linux-gnu/libstdc++.so.6.0.30
cfn=(7) operator new(unsigned long)
calls=1 0
2 60
cfn=(1)
cob=(1)
calls=1 0
3 99999

ob=(4)
fn=(7)
0 60

ob=(5) /build/perf/qx7540pm_perf
fn=(8) main
0 55

ob=(6) /lib/x86_64-linux-gnu/libgcc_s.so.1
fn=(9) _Unwind_RaiseException
0 11

totals: 4583
"""


class SplitTest(unittest.TestCase):
    def test_each_object_and_template_lands_in_its_category(self):
        r = callgrind_split.split(io.StringIO(SAMPLE))
        expected = {"plug-in": 100, "boost": 40, "std": 10, "libc": 4000, "write": 7,
                    "libstdc++": 60, "unwind": 11, "driver": 55, "stand-in": 360,
                    "stand-in calls": 60, "jsoncpp": 0, "other": 0}
        for category, value in expected.items():
            self.assertEqual(r[category], value, category)
        # Library code the stand-in ran and the write wrapper are not counted.
        self.assertEqual(r["counted"], 100 + 40 + 10 + 4000 + 60 + 11 - 60)
        self.assertEqual(r["total"], 4583)

    def run_main(self, runs, count):
        with tempfile.TemporaryDirectory() as tmp:
            args = ["--count", str(count), "--budgets"]
            for name in runs:
                path = os.path.join(tmp, name + ".out")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(SAMPLE)
                args.append("%s=%s" % (name, path))
            with contextlib.redirect_stdout(io.StringIO()) as out:
                status = callgrind_split.main(args)
            return status, out.getvalue()

    def test_budgets(self):
        cases = [
            # rows, operations per file, exit status, verdict expected in the text
            (["round"], 1, 0, "met"),            # 4161 <= 20000
            (["803"], 1, 1, "MISSED"),           # 4161 > 400
            (["803"], 20, 0, "met"),             # 208 per operation
            (["801-fresh", "yardstick"], 5, 0, "met"),  # 832 per operation
            (["801-fresh"], 1, 1, "MISSED"),     # 4161 > 1000
        ]
        for rows, count, status, verdict in cases:
            with self.subTest(rows=rows, count=count):
                got, text = self.run_main(rows, count)
                self.assertEqual(got, status, text)
                self.assertIn(verdict, text)


if __name__ == "__main__":
    unittest.main()
