#!/usr/bin/env bash
# Installs every package the build, the tests and the bench need, for the host
# (x86-64) and the board (mipsel). Safe to run again.
#
# The board's libraries (jsoncpp, GoogleTest, libmodbus, CLI11, libunistring) are
# unpacked into a project-local sysroot rather than installed as :mipsel
# multiarch packages: Debian's security archive has no mipsel builds, so a
# multiarch install fails on version skew between amd64 and mipsel copies of
# shared packages (libc6-dev, libssl3, ...).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
sysroot=${QX_MIPSEL_SYSROOT:-$here/.deps/mipsel}

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  $SUDO dpkg --add-architecture mipsel
fi
$SUDO apt-get update -q

host_pkgs=(
  build-essential cmake ninja-build pkg-config git
  clang clang-14 clang-format clang-tidy libclang-rt-14-dev libfuzzer-14-dev
  libjsoncpp-dev libelf-dev libboost-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev libcli11-dev libjs-chart.js libunistring-dev
  valgrind abigail-tools binutils
  socat mbpoll python3 python3-pymodbus python3-serial python3-serial-asyncio
  g++-mipsel-linux-gnu qemu-user
  help2man dpkg-dev
  # Debian's package checker for the release stage, and man to read the built pages.
  lintian man-db
  # The commissioning report's browser test: headless Chromium, and a font
  # with the Chinese glyphs of the snapshot's keys.
  chromium fonts-wqy-microhei
  # The host tools' messages in Chinese: GNU gettext's tools build the
  # catalogues (po/), and the tests run the bench in the zh_CN.UTF-8 locale.
  gettext locales
)
$SUDO apt-get install -y -q --no-install-recommends --no-remove "${host_pkgs[@]}"

# zh_CN.UTF-8 generated once; later runs find it in `locale -a`.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN\.utf-\?8'; then
  $SUDO sed -i 's/^# *\(zh_CN\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen > /dev/null
  $SUDO locale-gen
fi

# Board libraries: unpack, never install (see above).
board_pkgs=(libjsoncpp25:mipsel libjsoncpp-dev:mipsel libgtest-dev:mipsel libgmock-dev:mipsel
  libmodbus5:mipsel libmodbus-dev:mipsel libcli11-dev
  libelf1:mipsel libelf-dev:mipsel zlib1g:mipsel zlib1g-dev:mipsel
  libunistring2:mipsel libunistring-dev:mipsel)
stamp="$sysroot/.stamp"
want=$(apt-cache policy "${board_pkgs[@]}" | grep -E '^\S|Candidate' | tr -d ' \n')
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  tmp=$(mktemp -d)
  chmod 755 "$tmp"
  (cd "$tmp" && apt-get download -q "${board_pkgs[@]}")
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  for deb in "$tmp"/*.deb; do dpkg -x "$deb" "$sysroot"; done
  # The -dev packages' libjsoncpp.so and libmodbus.so are absolute symlinks into /usr; make
  # them relative.
  (cd "$sysroot/usr/lib/mipsel-linux-gnu" && ln -sf libjsoncpp.so.25 libjsoncpp.so &&
    ln -sf libmodbus.so.5 libmodbus.so)
  # zlib (libelf's) unpacks into /lib: beside the others, with a relative link.
  cp -a "$sysroot"/lib/mipsel-linux-gnu/libz.so.* "$sysroot/usr/lib/mipsel-linux-gnu/"
  (cd "$sysroot/usr/lib/mipsel-linux-gnu" && ln -sf libz.so.1 libz.so)
  rm -rf "$tmp"
  echo "$want" > "$stamp"
fi
# Boost's header-only parts are the same for every architecture.
ln -sfn /usr/include/boost "$sysroot/usr/include/boost"
echo "mipsel sysroot: $sysroot"

# --- The controller SDK's sysroot (scripts/stages/55-sdk.sh): the C library,
# GCC 10's C++ library and its headers, and jsoncpp of Debian's previous
# release (bullseye), as an older controller SDK carries them. Bullseye's
# archive no longer has mipsel, so the build with it is for x86-64. Fetched
# with an apt configuration of its own: the system's sources stay as they are.
sdk=${QX_SDK_SYSROOT:-$here/.deps/sdk-bullseye}
sdk_apt=$here/.deps/apt-bullseye
sdk_pkgs=(libc6 libc6-dev linux-libc-dev libstdc++6 libstdc++-10-dev libgcc-s1 libjsoncpp24
  libjsoncpp-dev)
debian_uri() {
  {
    sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2> /dev/null
    awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2> /dev/null
  } | tr ' ' '\n' | grep -v -- '-security' | grep . | head -1
}
mkdir -p "$sdk_apt/lists/partial" "$sdk_apt/cache/archives/partial"
echo "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_uri) bullseye main" \
  > "$sdk_apt/sources.list"
sdk_apt_opts=(-o "Dir::Etc::SourceList=$sdk_apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$sdk_apt/lists" -o "Dir::Cache=$sdk_apt/cache" -o Dir::State::Status=/dev/null
  -o APT::Architecture=amd64 -o APT::Architectures=amd64 -o APT::Sandbox::User=root)
apt-get -q "${sdk_apt_opts[@]}" update > /dev/null
# unpack_sdk DIR TRIPLET PACKAGE... : an SDK's sysroot from Debian's packages
# (with apt's options in sdk_opts), unpacked again only when a candidate
# version changed. Absolute links (the loader, the -dev links) point into the
# sysroot instead, and the C++ and GCC libraries to link against are the
# sysroot's, not the compiler's.
unpack_sdk() {
  local dir=$1 triplet=$2
  shift 2
  local want tmp
  want=$(apt-cache "${sdk_opts[@]}" policy "$@" | grep -E '^\S|Candidate' | tr -d ' \n')
  if [ ! -f "$dir/.stamp" ] || [ "$(cat "$dir/.stamp")" != "$want" ]; then
    tmp=$(mktemp -d)
    chmod 755 "$tmp"
    (cd "$tmp" && apt-get -q "${sdk_opts[@]}" download "$@")
    rm -rf "$dir"
    mkdir -p "$dir"
    for deb in "$tmp"/*.deb; do dpkg -x "$deb" "$dir"; done
    rm -rf "$tmp"
    find "$dir" -type l -lname '/*' | while read -r link; do
      ln -sfr "$dir$(readlink "$link")" "$link"
    done
    ln -sf libstdc++.so.6 "$dir/usr/lib/$triplet/libstdc++.so"
    ln -sfr "$dir/lib/$triplet/libgcc_s.so.1" "$dir/usr/lib/$triplet/libgcc_s.so"
    echo "$want" > "$dir/.stamp"
  fi
  ln -sfn /usr/include/boost "$dir/usr/include/boost"
}
sdk_opts=("${sdk_apt_opts[@]}")
unpack_sdk "$sdk" x86_64-linux-gnu "${sdk_pkgs[@]}"
echo "controller SDK sysroot: $sdk"

# --- A vendor-style SDK for the board (scripts/stages/55-sdk.sh): Debian's
# mipsel cross compiler with a sysroot that belongs to it, as a vendor ships
# them, assembled from the board's C library, C++ library and headers, and
# jsoncpp (the system's apt, whose lists have mipsel).
sdk_opts=()
unpack_sdk "$here/.deps/sdk-mipsel" mipsel-linux-gnu libc6:mipsel libc6-dev:mipsel \
  linux-libc-dev:mipsel libstdc++6:mipsel libstdc++-12-dev:mipsel libgcc-s1:mipsel \
  libjsoncpp25:mipsel libjsoncpp-dev:mipsel
echo "vendor-style board SDK sysroot: $here/.deps/sdk-mipsel"
# --- end of the controller SDKs' sysroots

# --- jsoncpp and GoogleTest built with the old std::string ABI, for the build
# with QX_OLD_STRING_ABI (scripts/stages/56-old-string-abi.sh): jsoncpp from
# Debian's source package (fetched with an apt configuration of its own),
# GoogleTest from Debian's googletest sources.
old_abi=$here/.deps/old-string-abi
src_apt=$here/.deps/apt-source
mkdir -p "$src_apt/lists/partial" "$src_apt/cache/archives/partial" "$src_apt/parts"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_uri) bookworm main" \
  > "$src_apt/sources.list"
src_apt_opts=(-o "Dir::Etc::SourceList=$src_apt/sources.list" -o "Dir::Etc::SourceParts=$src_apt/parts"
  -o "Dir::State::Lists=$src_apt/lists" -o "Dir::Cache=$src_apt/cache" -o APT::Sandbox::User=root)
jsoncpp_version=$(dpkg-query -W -f '${Version}' libjsoncpp-dev)
gtest_version=$(dpkg-query -W -f '${Version}' googletest)
old_abi_want="libjsoncpp $jsoncpp_version googletest $gtest_version"
if [ ! -f "$old_abi/.stamp" ] || [ "$(cat "$old_abi/.stamp")" != "$old_abi_want" ]; then
  apt-get -q "${src_apt_opts[@]}" update > /dev/null
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get -q "${src_apt_opts[@]}" source --download-only "libjsoncpp=$jsoncpp_version" &&
    dpkg-source -x ./*.dsc jsoncpp > /dev/null)
  rm -rf "$old_abi"
  old_abi_cmake=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-D_GLIBCXX_USE_CXX11_ABI=0
    -DCMAKE_INSTALL_PREFIX="$old_abi" -DCMAKE_INSTALL_LIBDIR=lib)
  cmake -S "$tmp/jsoncpp" -B "$tmp/jsoncpp-build" "${old_abi_cmake[@]}" -DBUILD_SHARED_LIBS=ON \
    -DBUILD_STATIC_LIBS=OFF -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_TESTS=OFF \
    -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF \
    -DJSONCPP_WITH_CMAKE_PACKAGE=OFF > /dev/null
  cmake --build "$tmp/jsoncpp-build" --target install > /dev/null
  cmake -S /usr/src/googletest -B "$tmp/gtest-build" "${old_abi_cmake[@]}" > /dev/null
  cmake --build "$tmp/gtest-build" --target install > /dev/null
  rm -rf "$tmp"
  echo "$old_abi_want" > "$old_abi/.stamp"
fi
echo "old std::string ABI jsoncpp and GoogleTest: $old_abi"
# --- end of the old std::string ABI libraries
