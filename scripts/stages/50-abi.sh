#!/usr/bin/env bash
# Compares the binary interface of the built qx7540pm.so, for the board (mipsel)
# and for x86-64, with the committed baselines under abi/. Fails on any change:
#  - abidiff's verdict (any non-zero result: added, removed or changed
#    functions, types, class layouts, virtual-table offsets of the exported
#    operations, record fields);
#  - the virtual-table slot of every operation in the baseline, inline ones
#    included: they have no symbol of their own, so abidiff does not weigh them.
# To change the interface on purpose, see docs/abi.md (QX_ABI_UPDATE=1).
# QX_ABI_BUILD_x86_64 / QX_ABI_BUILD_mipsel name other build trees (default:
# build/host and build/mipsel, made by the earlier stages of scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."

abidw_opts=(--no-show-locs --no-corpus-path --no-comp-dir-path)

# "mangled-name slot" for every virtual operation in an ABI dump.
slots() {
  awk "/<member-function .*vtable-offset=/ {
         match(\$0, /vtable-offset='[0-9-]+'/); slot = substr(\$0, RSTART + 15, RLENGTH - 16)
         getline
         if (match(\$0, /mangled-name='[^']+'/)) print substr(\$0, RSTART + 14, RLENGTH - 15), slot
       }" "$1" | sort -u
}

status=0
for arch in x86_64 mipsel; do
  case $arch in
    x86_64) build=${QX_ABI_BUILD_x86_64:-build/host} ;;
    mipsel) build=${QX_ABI_BUILD_mipsel:-build/mipsel} ;;
  esac
  cmake --build "$build" --target qx7540pm
  baseline=abi/qx7540pm.$arch.abi
  current=$build/qx7540pm.$arch.abi
  abidw "${abidw_opts[@]}" --out-file "$current" "$build/qx7540pm.so"
  if [ "${QX_ABI_UPDATE:-0}" = 1 ]; then
    cp "$current" "$baseline"
    echo "$baseline: updated"
    continue
  fi
  if [ ! -f "$baseline" ]; then
    echo "$baseline: missing (QX_ABI_UPDATE=1 creates it)" >&2
    status=1
    continue
  fi
  rc=0
  abidiff "$baseline" "$current" || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "$arch: abidiff reports interface changes (result $rc)" >&2
    status=1
  fi
  if ! diff -u <(slots "$baseline") <(slots "$current"); then
    echo "$arch: virtual operations moved to other slots" >&2
    status=1
  fi
  [ "$status" -eq 0 ] && echo "$arch: interface unchanged"
done
exit "$status"
