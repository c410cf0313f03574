#!/usr/bin/env bash
# The plug-in's own sources (framework/, plugin/, device/) build without a
# warning as C++11, which every build compiles them as, and as every later
# standard, for both targets: each unit is compiled again here (syntax only)
# with the build's own command and another -std.
# Needs build/host and build/mipsel (their compile_commands.json).
set -euo pipefail
cd "$(dirname "$0")/../.."

checked=0
for tree in build/host build/mipsel; do
  while IFS=$'\t' read -r dir command; do
    for std in c++14 c++17 c++20; do
      (cd "$dir" && eval "${command//-std=c++11/-std=$std} -fsyntax-only") ||
        { echo "standards: fails as $std in $tree: $command" >&2; exit 1; }
      checked=$((checked + 1))
    done
  done < <(python3 - "$tree/compile_commands.json" << 'PY'
import json, re, sys
for unit in json.load(open(sys.argv[1])):
    command = unit["command"]
    if "CMakeFiles/qx7540pm.dir/" not in command or "-std=c++11" not in command:
        continue
    command = re.sub(r" -o \S+", " -o /dev/null", command)
    print(unit["directory"] + "\t" + command)
PY
  )
done
[ "$checked" -gt 0 ] || { echo "standards: no unit of the plug-in compiled as C++11 found" >&2; exit 1; }
echo "standards: $checked compilations of the plug-in's units as C++14, C++17 and C++20, no warning"
