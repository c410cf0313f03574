#!/usr/bin/env bash
# The whole unit suite on x86-64 under AddressSanitizer and UndefinedBehaviorSanitizer,
# plug-in and stand-in instrumented as well; the first report stops the run
# (halt_on_error, set by the asan test preset).
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset asan
cmake --build --preset asan
ctest --preset asan
