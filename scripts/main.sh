#!/usr/bin/env bash
# The main job: set up, build, and show the plug-in at work.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${QX_SKIP_DEPS:-0}" != 1 ]; then bash scripts/install-deps.sh; fi
for preset in host mipsel; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

if [ -x build/host/bench/qx7540pm-bench ]; then
  exec build/host/bench/qx7540pm-bench --rounds "${QX_ROUNDS:-5}" "$@"
fi

for preset in host mipsel; do
  so=build/$preset/qx7540pm.so
  echo "$preset: $(readlink -f "$so")"
  readelf --dyn-syms -W "$so" | awk '$7 != "UND" && $8 == "get_providers" {print "  exports " $8 " (" $4 ", " $5 ")"}'
done
