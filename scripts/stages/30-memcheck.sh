#!/usr/bin/env bash
# The unit test program of the x86-64 build under valgrind's memcheck
# (scripts/memcheck.sh): about 1.5 minutes of CPU time.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash scripts/memcheck.sh
