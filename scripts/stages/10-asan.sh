#!/usr/bin/env bash
# The whole suite on x86-64 under AddressSanitizer and UndefinedBehaviorSanitizer:
# unit and end-to-end tests, with the plug-in, the stand-in, the bench, the
# simulator and the link instrumented as well. The first report stops the run
# (halt_on_error, set by the asan test preset). Benchmarks (label perf) are
# left out: their figures mean nothing under the sanitizers.
#
# UBSan's vptr check is off: it needs the device classes' type information in
# the test programs, and that lives in the plug-in, which they load rather than link.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset asan
cmake --build --preset asan
ctest --preset asan
