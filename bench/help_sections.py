#!/usr/bin/env python3
"""The bench's help sections (help_sections.txt), made into the --help footer
(a C++ header), help2man's include file for the man page and the footer's
messages for the translators' template, so that the --help output, the man
page and docs/bench.md say the same.

    help_sections.py TEXT [--header OUT.h] [--include OUT.h2m] [--pot OUT.pot]

The footer is a list of pieces: texts the bench translates and wraps to the
terminal by display width (in English as textwrap wraps them here), and texts
it shows as they are (commands, paths, blank lines).
"""
import argparse
import os
import re
import sys
import textwrap

SECTIONS = ("NOTES", "EXAMPLES", "EXIT STATUS", "FILES")
WIDTH = 79
RAW_DELIMITER = "qxhelp"


class TextError(Exception):
    pass


def read_sections(path):
    """The sections of the text, each a list of lines without the blank
    lines around it."""
    sections = {}
    current = None
    with open(path, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            line = line.rstrip("\n").rstrip()
            if line.startswith("#"):
                continue
            if line.startswith("== "):
                current = line[3:].strip()
                if current not in SECTIONS or current in sections:
                    raise TextError(f"{path}:{number}: unknown or repeated section '{current}'")
                sections[current] = []
            elif current is None:
                if line:
                    raise TextError(f"{path}:{number}: text before the first section")
            else:
                sections[current].append(line)
    for name in SECTIONS:
        if name not in sections:
            raise TextError(f"{path}: no section '{name}'")
        lines = sections[name]
        while lines and not lines[0]:
            lines.pop(0)
        while lines and not lines[-1]:
            lines.pop()
        if not lines:
            raise TextError(f"{path}: section '{name}' is empty")
    return sections


def examples(sections):
    """[(what, [command, ...]), ...]"""
    entries = []
    for line in sections["EXAMPLES"]:
        if line.startswith("$ "):
            if not entries:
                raise TextError(f"example command without a line saying what: {line}")
            entries[-1][1].append(line[2:])
        elif line:
            entries.append((line, []))
    for what, commands in entries:
        if not commands:
            raise TextError(f"example without a command: {what}")
    return entries


def exit_status(sections):
    """[(code, meaning), ...] in the text's order."""
    rows = []
    for line in sections["EXIT STATUS"]:
        match = re.fullmatch(r"(\d+) +(\S.*)", line)
        if not match:
            raise TextError(f"exit status line is not CODE MEANING: {line}")
        rows.append((int(match.group(1)), match.group(2)))
    return rows


def files(sections):
    """[(path, description), ...]"""
    entries = []
    for line in sections["FILES"]:
        if line.startswith(" "):
            if not entries:
                raise TextError(f"file description without a path: {line}")
            entries[-1][1].append(line.strip())
        elif line:
            entries.append((line, []))
    return [(path, " ".join(words)) for path, words in entries]


def plain(text):
    """Text as a terminal shows it: without the backticks of code."""
    return text.replace("`", "")


def wrap_command(command, indent, width=WIDTH):
    """A command broken before its options, with shell continuations."""
    words = re.split(r" (?=--)", command)
    lines = [words[0]]
    for word in words[1:]:
        if len(indent) + len(lines[-1]) + len(word) + 3 > width:
            lines[-1] += " \\"
            lines.append("    " + word)
        else:
            lines[-1] += " " + word
    return [indent + line for line in lines]


def pieces(sections):
    """The --help footer as (first line's indent, other lines' indent, text,
    translated): the notes, then Examples:, Exit status: and Files:
    (help2man takes the first and last as its own sections, which the
    include file replaces)."""
    def text(words, first="", rest=""):
        return (first, rest, words, True)

    def shown(line):
        return ("", "", line, False)

    out = [text(plain(" ".join(sections["NOTES"])))]
    out += [shown(""), text("Examples:")]
    for what, commands in examples(sections):
        out.append(text(plain(what), "  ", "  "))
        for command in commands:
            out += [shown(line) for line in wrap_command(command, "    ")]
    out += [shown(""), text("Exit status:")]
    for code, meaning in exit_status(sections):
        out.append(text(plain(meaning), f"  {code:<5}", " " * 7))
    out += [shown(""), text("Files:")]
    for path, description in files(sections):
        out += [shown("  " + path), text(plain(description), " " * 6, " " * 6)]
    return out


def footer(sections):
    """The --help footer in English, as the bench shows it."""
    out = []
    for first, rest, words, translated in pieces(sections):
        if translated:
            out += textwrap.wrap(words, WIDTH, initial_indent=first, subsequent_indent=rest,
                                 break_on_hyphens=False)
        else:
            out.append(words)
    return "\n".join(out)


def roff(text):
    """Running text for the man page: backslashes and hyphens escaped, code
    in bold, no line starting with a control character."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    text = re.sub(r"`([^`]*)`", r"\\fB\1\\fR", text)
    return "\\&" + text if text.startswith((".", "'")) else text


def include_file(sections):
    """help2man's include file: EXAMPLES and FILES in place of those help2man
    made of the footer, and EXIT STATUS."""
    out = ["[=EXAMPLES]"]
    for what, commands in examples(sections):
        out += [".PP", roff(what), ".RS 4", ".nf"]
        for command in commands:
            # The page's text starts 7 columns in, the example 4 more.
            out += [roff(line) for line in wrap_command(command, "", width=WIDTH - 11)]
        out += [".fi", ".RE"]
    out += ["", "[EXIT STATUS]"]
    for code, meaning in exit_status(sections):
        out += [".TP", f".B {code}", roff(meaning)]
    out += ["", "[=FILES]"]
    for path, description in files(sections):
        out += [".TP", f".I {roff(path)}", roff(description)]
    return "\n".join(out) + "\n"


def raw(text):
    if f"){RAW_DELIMITER}\"" in text:
        raise TextError(f"the text holds the header's delimiter ){RAW_DELIMITER}\"")
    return f'R"{RAW_DELIMITER}({text}){RAW_DELIMITER}"'


def header(sections):
    rows = "".join(
        f"    {{{raw(first)}, {raw(rest)}, {raw(words)}, {'true' if translated else 'false'}}},\n"
        for first, rest, words, translated in pieces(sections))
    return (
        "// Made from bench/help_sections.txt by bench/help_sections.py: edit the text.\n"
        "#pragma once\n\n"
        "#include <cstddef>\n\n"
        "namespace qxbench {\n\n"
        "/// One piece of the end of --help, a line or more of it.\n"
        "struct HelpPiece {\n"
        "  const char* first_indent;  ///< before its first line\n"
        "  const char* indent;        ///< before its other lines\n"
        "  const char* text;          ///< an English message, or a text shown as it is\n"
        "  bool translated;           ///< translated and wrapped to kHelpWidth columns\n"
        "};\n\n"
        f"constexpr std::size_t kHelpWidth = {WIDTH};\n\n"
        "/// The end of --help: notes, examples, exit status and files.\n"
        f"constexpr HelpPiece kHelpFooter[] = {{\n{rows}}};\n\n"
        "}  // namespace qxbench\n")


def po_string(text):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return f'"{escaped}"'


def template(sections):
    """The footer's messages for the translators' template (po/), in order,
    each once; the bench wraps them, so each is one paragraph."""
    out = ['msgid ""', 'msgstr ""', '"Content-Type: text/plain; charset=UTF-8\\n"', ""]
    seen = set()
    for _, _, words, translated in pieces(sections):
        if not translated or words in seen:
            continue
        seen.add(words)
        out += ["#. TRANSLATORS: the end of --help, shown wrapped to the terminal: write one",
                "#. paragraph without line breaks.",
                "#: bench/help_sections.txt", f"msgid {po_string(words)}", 'msgstr ""', ""]
    return "\n".join(out)


def write(path, text):
    """Whole or not at all: written beside the target, then renamed."""
    with open(path + ".tmp", "w", encoding="utf-8") as new:
        new.write(text)
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("text")
    parser.add_argument("--header")
    parser.add_argument("--include")
    parser.add_argument("--pot")
    args = parser.parse_args()
    try:
        sections = read_sections(args.text)
        if args.header:
            write(args.header, header(sections))
        if args.include:
            write(args.include, include_file(sections))
        if args.pot:
            write(args.pot, template(sections))
    except TextError as error:
        print(f"help_sections: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
