#!/usr/bin/env bash
# Cuts a release of the checked-out commit into out/ (QX_RELEASE_OUT):
#   qx7540pm-<version>-mipsel.tar.gz       the board bundle (mipsel preset)
#   qx7540pm-bench_<version>_<arch>.deb    the field laptops' package (host preset)
# Each is built in a build tree of its own, made here with the tests left out
# (QX_RELEASE_MIPSEL_BUILD, QX_RELEASE_HOST_BUILD name others; an existing
# tree is used as it is configured). SOURCE_DATE_EPOCH defaults to the
# commit's time: two runs of one commit give the same bundle, byte for byte.
# Run scripts/install-deps.sh first on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${QX_RELEASE_OUT:-out}
mipsel_build=${QX_RELEASE_MIPSEL_BUILD:-build/release-mipsel}
host_build=${QX_RELEASE_HOST_BUILD:-build/release-host}
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH

# Builds the tree for a preset and packs it; prints the package's path.
package() {
  local preset=$1 build=$2 packages=$2/packages
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset "$preset" -B "$build" -DQX_BUILD_TESTS=OFF >&2
  fi
  cmake --build "$build" >&2
  rm -rf "$packages"
  cpack --config "$build/CPackConfig.cmake" -B "$packages" >&2
  find "$packages" -maxdepth 1 -type f \( -name '*.tar.gz' -o -name '*.deb' \)
}

mkdir -p "$out"
bundle=$(package mipsel "$mipsel_build")
deb=$(package host "$host_build")
for made in "$bundle" "$deb"; do
  cp "$made" "$out/"
  echo "$out/$(basename "$made")"
done
