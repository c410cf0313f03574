#!/usr/bin/env bash
# The plug-in for a controller built with the old std::string ABI
# (-DQX_OLD_STRING_ABI=ON): built on x86-64 with everything else that way,
# against jsoncpp and GoogleTest built the same way (scripts/install-deps.sh,
# .deps/old-string-abi), and its unit tests run against that jsoncpp. The
# plug-in has no symbol of the C++11 string ABI.
set -euo pipefail
cd "$(dirname "$0")/../.."

libs=$(realpath .deps/old-string-abi)
rm -rf build/old-string-abi
cmake -S . -B build/old-string-abi -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_WERROR=ON \
  -DQX_OLD_STRING_ABI=ON -DQX_BUILD_TOOLS=OFF -DQX_PACKAGING=OFF -DCMAKE_PREFIX_PATH="$libs" > /dev/null
cmake --build build/old-string-abi --target qx7540pm qx7540pm_tests
if nm -D build/old-string-abi/qx7540pm.so | grep -q __cxx11; then
  echo "old string ABI: the plug-in still has symbols of the C++11 string ABI" >&2
  exit 1
fi
# The interleaving explorer is left to the other builds: the string ABI
# changes no round's order.
LD_LIBRARY_PATH=$libs/lib ctest --test-dir build/old-string-abi --output-on-failure -j2 \
  -E '^abi\.class_layout$' -LE explore
