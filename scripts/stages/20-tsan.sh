#!/usr/bin/env bash
# The concurrency tests on x86-64 under ThreadSanitizer; any report fails them
# (halt_on_error, set by the tsan test preset).
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset tsan
cmake --build --preset tsan
# Recent kernels randomise mmap more than this ThreadSanitizer's memory map
# allows; without address randomisation its layout always fits.
if setarch "$(uname -m)" -R true 2>/dev/null; then
  setarch "$(uname -m)" -R ctest --preset tsan
else
  ctest --preset tsan
fi
