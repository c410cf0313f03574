#!/usr/bin/env bash
# Builds everything and runs every test: x86-64 host, then the board (mipsel,
# under qemu-user). Installs what it needs first. Stages can be skipped with
# QX_SKIP="stage stage ..." for local iteration (see scripts/skip.sh); CI runs
# them all.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/skip.sh
stage() { echo; echo "=== $1 ($(date -u +%H:%M:%S)) ==="; }

if ! skip deps; then
  stage "install dependencies"
  bash scripts/install-deps.sh
fi

start=$SECONDS
for preset in host mipsel; do
  skip "$preset" && continue
  stage "build and test: $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# Further stages (sanitizers, end-to-end, fuzzing, interface baseline) live in
# scripts/stages/, run in name order, each skippable by its name.
for script in scripts/stages/*.sh; do
  [ -e "$script" ] || continue
  name=$(basename "$script" .sh)
  # A stage is skipped by its file name (10-asan) or without the number (asan).
  skip "$name" && continue
  skip "${name#[0-9]*-}" && continue
  stage "$name"
  bash "$script"
done

echo
echo "all stages passed in $((SECONDS - start)) s"
