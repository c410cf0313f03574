#!/usr/bin/env bash
# Runs the unit test program of the x86-64 build under valgrind's memcheck: no
# invalid access, no use of uninitialised memory, no definite or indirect leak.
# About 1.5 minutes of CPU time; scripts/stages/30-memcheck.sh runs it.
#   QX_MEMCHECK_BUILD  build tree to use (default build/host)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QX_MEMCHECK_BUILD:-build/host}
cmake --build "$build" --target qx7540pm_tests
TZ=UTC valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
  --track-origins=yes --num-callers=30 \
  "$build/tests/qx7540pm_tests" --gtest_brief=1 "$@"
