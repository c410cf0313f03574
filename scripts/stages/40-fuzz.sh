#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from
# its committed seed corpus. A crash, sanitizer report or broken invariant
# exits non-zero and fails the stage; the input is kept under build/fuzz/artifacts.
#   QX_FUZZ_SECONDS  seconds per fuzzer (default 15)
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${QX_FUZZ_SECONDS:-15}
cmake --preset fuzz
cmake --build --preset fuzz --target fuzzers

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
for name in control settings cache replies; do
  work=$(mktemp -d)
  echo "fuzz_$name: ${seconds} s"
  # New inputs go to the scratch directory; the committed seeds stay as they are.
  if ! build/fuzz/fuzz/fuzz_$name -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts/$name-" "$work" "fuzz/corpus/$name" 2> "$work.log"; then
    tail -n 60 "$work.log"
    rm -rf "$work" "$work.log"
    echo "fuzz_$name found a failure; input saved under $artifacts" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$work.log" || true
  rm -rf "$work" "$work.log"
done
