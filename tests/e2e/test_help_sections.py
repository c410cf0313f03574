#!/usr/bin/env python3
"""The bench's help sections (bench/help_sections.txt) where a user reads them.

--bench: the exit-status table of docs/bench.md says what the text says, row
for row; the text's codes are the bench's own (core/include/qxcore/exit_codes.h); and
--help ends with the footer made of the text.
--man: the man page, read with `man -l` as a user would, has the EXAMPLES,
EXIT STATUS and FILES sections with every example, code and file of the text,
and no second copy of them left over from --help.
Python's standard library only; exit 0 when every check passes.
"""
import argparse
import os
import re
import subprocess
import sys
import unittest

ARGS = None


def load_sections():
    sys.path.insert(0, os.path.dirname(ARGS.text))
    import help_sections

    return help_sections, help_sections.read_sections(ARGS.text)


def squeeze(text):
    """Text as a comparison wants it: roff's hyphenation undone, code marks
    and runs of white space gone."""
    text = re.sub("\u2010\\s+", "", text)
    return re.sub(r"\s+", " ", text.replace("`", "").replace("\u2010", "-")).strip()


class HelpAndDocs(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.help_sections, cls.sections = load_sections()
        cls.rows = cls.help_sections.exit_status(cls.sections)

    def test_docs_exit_table_is_the_texts(self):
        with open(ARGS.docs, encoding="utf-8") as docs:
            text = docs.read()
        table = text.split("## Exit codes", 1)[1].split("\n## ", 1)[0]
        rows = [
            (int(m.group(1)), m.group(2).strip())
            for m in re.finditer(r"^\| (\d+) \| (.*) \|$", table, re.MULTILINE)
        ]
        self.assertEqual(rows, self.rows, "docs/bench.md's exit codes differ from the help text")

    def test_codes_are_the_benchs(self):
        with open(ARGS.codes, encoding="utf-8") as header:
            codes = re.findall(r"constexpr int kExit\w+ = (\d+);", header.read())
        self.assertTrue(codes, f"no kExit constants in {ARGS.codes}")
        self.assertEqual(sorted(int(c) for c in codes), sorted(c for c, _ in self.rows))

    def test_help_ends_with_the_footer(self):
        out = subprocess.run([ARGS.bench, "--help"], capture_output=True, text=True, check=True)
        footer = self.help_sections.footer(self.sections)
        self.assertTrue(out.stdout.rstrip().endswith(footer), out.stdout[-2000:])
        for line in footer.splitlines():
            self.assertLessEqual(len(line), 79, line)


class ManPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.help_sections, cls.sections = load_sections()
        # man-db's seccomp filter can refuse to run in some containers; the
        # page is ours, so nothing is lost without it.
        env = dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="", LC_ALL="C.UTF-8",
                   MAN_DISABLE_SECCOMP="1")
        env.pop("MANPAGER", None)
        env.pop("PAGER", None)
        out = subprocess.run(["man", "-l", ARGS.man], capture_output=True, text=True, env=env,
                             check=True)
        cls.page = out.stdout
        # Section headings start in the first column, their text is indented.
        cls.body = {}
        for part in re.split(r"^(?=[A-Z][A-Z ]+$)", cls.page, flags=re.MULTILINE):
            name, _, text = part.partition("\n")
            cls.body[name.strip()] = squeeze(text)

    def section(self, name):
        self.assertIn(name, self.body, f"the page has no {name} section")
        return self.body[name]

    def test_sections_in_the_usual_order(self):
        names = [n for n in self.body if n in ("OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES")]
        self.assertEqual(names, ["OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES"], self.page)

    def test_every_exit_code_with_its_meaning(self):
        text = self.section("EXIT STATUS")
        for code, meaning in self.help_sections.exit_status(self.sections):
            self.assertIn(f"{code} {squeeze(meaning)}", text)

    def test_every_example_and_file(self):
        # A long command is continued on the next line, as a shell takes it.
        examples = self.section("EXAMPLES").replace(" \\ ", " ")
        for what, commands in self.help_sections.examples(self.sections):
            self.assertIn(squeeze(what), examples)
            for command in commands:
                self.assertIn(squeeze(command), examples)
        for path, description in self.help_sections.files(self.sections):
            self.assertIn(f"{path} {squeeze(description)}", self.section("FILES"))

    def test_every_commands_options(self):
        commands = self.section("COMMANDS")
        env = dict(os.environ, LC_ALL="C", LANGUAGE="")
        for command in ("scan", "decode", "report", "preflight"):
            self.assertIn(f"qx7540pm-bench {command}", commands)
            out = subprocess.run([ARGS.bench, command, "--help"], capture_output=True, text=True,
                                 env=env, check=True).stdout
            for name in set(re.findall(r"^ {2}(?:-\w,)?(--[\w-]+)", out, re.MULTILINE)):
                self.assertIn(name, commands, f"{command}'s {name} is not on the page")

    def test_no_second_copy_from_help(self):
        for heading in ("Examples:", "Exit status:", "Files:"):
            self.assertNotIn(heading, self.page)
        # What an option excludes is a line of its own, on the bench's options and a command's.
        excludes = re.findall(r"^ +(\S.*)\n +Excludes: (--\w+)$", self.page, re.MULTILINE)
        self.assertIn(("Serial device of the meter (Modbus RTU)", "--tcp"), excludes, self.page)
        self.assertIn(("Serial device of the line (Modbus RTU)", "--tcp"), excludes, self.page)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--text", required=True, help="bench/help_sections.txt")
    parser.add_argument("--docs", help="docs/bench.md")
    parser.add_argument("--codes", help="core/include/qxcore/exit_codes.h")
    parser.add_argument("--bench", help="the built qx7540pm-bench")
    parser.add_argument("--man", help="the built qx7540pm-bench.1.gz")
    ARGS, rest = parser.parse_known_args()
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    if ARGS.bench and ARGS.docs:
        suite.addTests(loader.loadTestsFromTestCase(HelpAndDocs))
    if ARGS.man:
        suite.addTests(loader.loadTestsFromTestCase(ManPage))
    if not suite.countTestCases():
        parser.error("give --bench with --docs and --codes, or --man (with --bench)")
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
