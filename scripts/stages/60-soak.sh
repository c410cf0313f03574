#!/usr/bin/env bash
# A million rounds with a snapshot request after each, through the stand-in
# framework; fails if the heap or the peak resident set grows after the first
# checkpoint. QX_SOAK_ROUNDS shortens it for local iteration.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --build --preset host --target qx7540pm_soak
build/host/soak/qx7540pm_soak --rounds "${QX_SOAK_ROUNDS:-1000000}"
