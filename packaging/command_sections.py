#!/usr/bin/env python3
"""The bench's commands for its man page: each command's --help (in English)
as a help2man include file, a COMMANDS section with one subsection a command.

    command_sections.py BENCH OUTPUT COMMAND...

--help lays an option out as "  --name ARG   what it does", a longer
description continued on lines indented further, and group headings and the
footer unindented; the page gives each option as a tagged paragraph, so that
man wraps it to the reader's width.
"""
import os
import re
import subprocess
import sys


def roff(text):
    """Text safe in a roff line: backslashes, hyphens, and a leading dot or quote."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def section(bench, command):
    env = dict(os.environ, LC_ALL="C", LANGUAGE="")
    help_text = subprocess.run([bench, command, "--help"], capture_output=True, text=True,
                               env=env, check=True).stdout
    lines = [f'.SS "{roff(os.path.basename(bench))} {command}"']
    paragraph = None  # the open paragraph's lines, joined when it ends

    def close():
        nonlocal paragraph
        if paragraph:
            lines.append(roff(" ".join(paragraph)))
        paragraph = None

    in_option = False  # the open paragraph is an option's description
    for line in help_text.splitlines():
        if not line.strip():
            close()
            continue
        indent = len(line) - len(line.lstrip())
        option = re.match(r"^ {2}(-\S.*?)(?: {2,}(\S.*))?$", line)
        if option and indent == 2:
            close()
            lines.append(".TP")
            lines.append(f"\\fB{roff(option.group(1))}\\fR")
            paragraph = [option.group(2)] if option.group(2) else []
            in_option = True
        elif in_option and indent > 2 and re.match(r"(Needs|Excludes): ", line.strip()):
            # What the option needs or excludes: a line of its own (the page's
            # build puts a break before it, as before help2man's).
            close()
            paragraph = [line.strip()]
        elif (paragraph is not None and not line.startswith("Usage:")
              and (indent > 2 if in_option else indent == 0)):
            paragraph.append(line.strip())
        else:
            close()
            lines.append(".PP")
            paragraph = [line.strip()]
            in_option = False
    close()
    return "\n".join(lines)


def main():
    bench, output, commands = sys.argv[1], sys.argv[2], sys.argv[3:]
    text = "[COMMANDS]\n" + "\n".join(section(bench, c) for c in commands) + "\n"
    with open(output, "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main()
