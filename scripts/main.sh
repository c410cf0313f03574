#!/usr/bin/env bash
# The main job: set up, build the tools and show the plug-in at work. Of
# the host preset it builds what the field laptop's package holds and
# docs/bench.md uses, and no test: the plug-in (qx7540pm.so), the stand-in
# framework (libzelfw.so), the bench host (qx7540pm-bench), the simulated
# meter (qx7540pm-sim), their message catalogues and man pages, so that
# `cpack --preset host` can follow; `bash scripts/test.sh` builds and tests
# everything.
# QX_MAIN_BOARD=1 also builds the board's plug-in (mipsel preset) and shows
# what it exports. Steps can be skipped with QX_SKIP="deps host ..." (see
# scripts/skip.sh). Extra arguments go to the bench.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/skip.sh

# The plug-in a preset built, and the entry point the controller looks up.
show_plugin() {
  local so=build/$1/qx7540pm.so
  [ -e "$so" ] || return 0
  echo "$1: $(readlink -f "$so")"
  readelf --dyn-syms -W "$so" | awk '$7 != "UND" && $8 == "get_providers" {print "  exports " $8 " (" $4 ", " $5 ")"}'
}

if ! skip deps; then bash scripts/install-deps.sh; fi
if ! skip host; then
  cmake --preset host >/dev/null
  targets=(qx7540pm zelfw qx7540pm-bench qx7540pm-sim qx_catalogues)
  # Man pages only where help2man is (install-deps.sh installs it).
  if cmake --build --preset host --target help | grep '^man_pages: ' >/dev/null; then
    targets+=(man_pages)
  fi
  cmake --build --preset host --target "${targets[@]}"
fi
if [ "${QX_MAIN_BOARD:-0}" = 1 ] && ! skip mipsel; then
  cmake --preset mipsel >/dev/null
  cmake --build --preset mipsel --target qx7540pm
  show_plugin mipsel
fi

if [ -x build/host/bench/qx7540pm-bench ]; then
  # Five rounds unless the options given say how many, or ask for a command
  # (scan, decode, report, preflight: the first word) or for help.
  case ${1:-} in
    scan | decode | report | preflight) exec build/host/bench/qx7540pm-bench "$@" ;;
  esac
  for arg in "$@"; do
    case $arg in
      --rounds | --rounds=* | --help | -h | --version) exec build/host/bench/qx7540pm-bench "$@" ;;
    esac
  done
  exec build/host/bench/qx7540pm-bench --rounds "${QX_ROUNDS:-5}" "$@"
fi
for preset in host mipsel; do show_plugin "$preset"; done
