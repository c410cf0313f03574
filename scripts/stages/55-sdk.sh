#!/usr/bin/env bash
# The plug-in built with a controller's SDK, the way README "Building with the
# controller's SDK" tells an integrator: a compiler prefix, the SDK's sysroot
# and its flags. Here the SDK is Debian's compiler with the sysroot of an older
# controller (glibc 2.31, GCC 10's C++ library and headers, jsoncpp 1.9.4,
# made by scripts/install-deps.sh). Checked against that sysroot: the exported
# symbols and the class layouts (slots included) of the interface checks, and
# preflight against a controller program built with the same SDK.
# Needs build/host (the bench that runs preflight).
set -euo pipefail
cd "$(dirname "$0")/../.."

sysroot=$(realpath .deps/sdk-bullseye)
export QX_SDK_PREFIX=x86_64-linux-gnu-
export QX_SDK_SYSROOT=$sysroot
# This SDK's compiler is newer than its C++ headers and jsoncpp: it takes the
# sysroot's headers, and two of its warnings about them stay warnings.
export QX_SDK_FLAGS="-nostdinc++ -isystem $sysroot/usr/include/c++/10
  -isystem $sysroot/usr/include/x86_64-linux-gnu/c++/10 -Wno-maybe-uninitialized
  -Wno-deprecated-declarations"
QX_SDK_FLAGS=$(tr '\n' ' ' <<< "$QX_SDK_FLAGS")

rm -rf build/sdk
cmake --preset sdk > /dev/null
cmake --build --preset sdk
ctest --test-dir build/sdk --output-on-failure

libs=$sysroot/usr/lib/x86_64-linux-gnu
"${QX_SDK_PREFIX}g++" --sysroot="$sysroot" $QX_SDK_FLAGS -I"$sysroot/usr/include/jsoncpp" \
  tests/preflight/controller_main.cpp -o build/sdk/controller -L"$libs" -ljsoncpp \
  -Wl,-rpath-link,"$libs:$sysroot/lib/x86_64-linux-gnu"
controller=(--exe build/sdk/controller --lib build/sdk/libzelfw.so --lib "$libs/libjsoncpp.so.24")
for lib in libc.so.6 libm.so.6 libgcc_s.so.1; do controller+=(--lib "$sysroot/lib/x86_64-linux-gnu/$lib"); done
controller+=(--lib "$libs/libstdc++.so.6")
# The SDK's build loads; so does the default build, whose floor is below this controller's.
for plugin in build/sdk/qx7540pm.so build/host/qx7540pm.so; do
  build/host/bench/qx7540pm-bench preflight --plugin "$plugin" "${controller[@]}"
done
# A controller without jsoncpp refuses it, naming what is missing.
if out=$(build/host/bench/qx7540pm-bench preflight --plugin build/sdk/qx7540pm.so \
  "${controller[@]:0:4}" "${controller[@]:6}"); then
  echo "sdk: preflight passed a controller without jsoncpp" >&2
  exit 1
fi
grep -q 'Json::Value::' <<< "$out" || { echo "sdk: preflight did not name jsoncpp's symbols: $out" >&2; exit 1; }
echo "sdk: the plug-in built with the controller's SDK loads into its controller"
