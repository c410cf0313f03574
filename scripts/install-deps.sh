#!/usr/bin/env bash
# Installs every package the build, the tests and the bench need, for the host
# (x86-64) and the board (mipsel). Safe to run again.
#
# The board's libraries (jsoncpp, GoogleTest, libmodbus, CLI11) are unpacked into a project-local
# sysroot rather than installed as :mipsel multiarch packages: Debian's security
# archive has no mipsel builds, so a multiarch install fails on version skew
# between amd64 and mipsel copies of shared packages (libc6-dev, libssl3, ...).
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
  libjsoncpp-dev libboost-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev libcli11-dev libjs-chart.js
  valgrind abigail-tools binutils
  socat mbpoll python3 python3-pymodbus python3-serial python3-serial-asyncio
  g++-mipsel-linux-gnu qemu-user
  help2man dpkg-dev
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
  libmodbus5:mipsel libmodbus-dev:mipsel libcli11-dev)
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
  rm -rf "$tmp"
  echo "$want" > "$stamp"
fi
# Boost's header-only parts are the same for every architecture.
ln -sfn /usr/include/boost "$sysroot/usr/include/boost"
echo "mipsel sysroot: $sysroot"
