#!/usr/bin/env bash
# The plug-in built with a controller's SDK exactly as README "Building with
# the controller's SDK" tells an integrator: only QX_SDK_PREFIX, QX_SDK_SYSROOT
# and QX_SDK_FLAGS are set for the SDK at hand, then the README's commands run
# as written. Two rehearsal SDKs (made by scripts/install-deps.sh):
#  - an older controller for x86-64: Debian's compiler with the sysroot of
#    Debian 11 (glibc 2.31, GCC 10's C++ library and headers, jsoncpp 1.9.4);
#  - a vendor-style SDK for the board: Debian's mipsel cross compiler with a
#    sysroot of the board's C and C++ libraries, their headers and jsoncpp,
#    with the README's example flags.
# Each build's own checks run (symbols, layouts and slots, its floor), then
# preflight judges it against a controller program built with the same SDK.
# Needs build/host (the bench that runs preflight).
set -euo pipefail
cd "$(dirname "$0")/../.."

bench=build/host/bench/qx7540pm-bench

# rehearse NAME TRIPLET: the README's three commands, then preflight.
rehearse() {
  local name=$1 triplet=$2
  echo "--- $name: QX_SDK_PREFIX=$QX_SDK_PREFIX QX_SDK_FLAGS=\"$QX_SDK_FLAGS\""
  rm -rf build/sdk
  # The README's commands, word for word.
  cmake --preset sdk > /dev/null
  cmake --build --preset sdk && ctest --test-dir build/sdk --output-on-failure

  # A controller program of the same SDK: its compiler, its sysroot, its flags.
  local sysroot=$QX_SDK_SYSROOT libs=$QX_SDK_SYSROOT/usr/lib/$triplet
  local version
  version=$(basename "$(ls -d "$sysroot"/usr/include/c++/* | sort -V | tail -1)")
  # shellcheck disable=SC2086 # the SDK's flags are words
  "${QX_SDK_PREFIX}g++" --sysroot="$sysroot" $QX_SDK_FLAGS -nostdinc++ \
    -isystem "$sysroot/usr/include/c++/$version" \
    -isystem "$sysroot/usr/include/$triplet/c++/$version" -I"$sysroot/usr/include/jsoncpp" \
    tests/preflight/controller_main.cpp -o build/sdk/controller -L"$libs" -ljsoncpp \
    -Wl,-rpath-link,"$libs:$sysroot/lib/$triplet"
  local jsoncpp
  jsoncpp=$(ls "$libs"/libjsoncpp.so.[0-9]* | grep -E '\.so\.[0-9]+$' | head -1)
  controller=(--exe build/sdk/controller --lib build/sdk/libzelfw.so --lib "$jsoncpp")
  for lib in libc.so.6 libm.so.6 libgcc_s.so.1; do controller+=(--lib "$sysroot/lib/$triplet/$lib"); done
  controller+=(--lib "$libs/libstdc++.so.6")
  "$bench" preflight --plugin build/sdk/qx7540pm.so "${controller[@]}"
  # A controller without jsoncpp refuses it, naming what is missing.
  if out=$("$bench" preflight --plugin build/sdk/qx7540pm.so "${controller[@]:0:4}" \
    "${controller[@]:6}"); then
    echo "sdk: $name: preflight passed a controller without jsoncpp" >&2
    exit 1
  fi
  grep -q 'Json::Value::' <<< "$out" ||
    { echo "sdk: $name: preflight did not name jsoncpp's symbols: $out" >&2; exit 1; }
}

export QX_SDK_PREFIX=x86_64-linux-gnu- QX_SDK_SYSROOT=$PWD/.deps/sdk-bullseye QX_SDK_FLAGS=
rehearse "older x86-64 controller" x86_64-linux-gnu
# The default build's floor is below this controller's: it loads too.
"$bench" preflight --plugin build/host/qx7540pm.so "${controller[@]}"

export QX_SDK_PREFIX=mipsel-linux-gnu- QX_SDK_SYSROOT=$PWD/.deps/sdk-mipsel
export QX_SDK_FLAGS="-march=mips32 -mfp32"
rehearse "vendor-style board SDK" mipsel-linux-gnu

echo "sdk: the plug-in built with each controller's SDK as the README gives it loads into its controller"
