#!/usr/bin/env bash
# The main job: set up, build, and show the plug-in at work. Steps can be
# skipped with QX_SKIP="deps mipsel ..." (see scripts/skip.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/skip.sh

if ! skip deps; then bash scripts/install-deps.sh; fi
for preset in host mipsel; do
  skip "$preset" && continue
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

if [ -x build/host/bench/qx7540pm-bench ]; then
  exec build/host/bench/qx7540pm-bench --rounds "${QX_ROUNDS:-5}" "$@"
fi

for preset in host mipsel; do
  so=build/$preset/qx7540pm.so
  [ -e "$so" ] || continue
  echo "$preset: $(readlink -f "$so")"
  readelf --dyn-syms -W "$so" | awk '$7 != "UND" && $8 == "get_providers" {print "  exports " $8 " (" $4 ", " $5 ")"}'
done
