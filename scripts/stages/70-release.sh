#!/usr/bin/env bash
# The releases, made by scripts/release.sh and checked as an integrator and a
# field engineer would use them:
#  - the board bundle is reproducible: made again from the test build tree
#    (build/mipsel), the archive is the same, byte for byte;
#  - its contents: the files INSTALL lists; the plug-in stripped, exporting
#    what the built one does, with its debug file of the same build-id and a
#    debug link to it; the sums verify; the version note is the programs' version,
#    beside the note of the jsoncpp it was built against;
#  - its bench and simulator on an emulated board (qemu-mipsel) with only the
#    controller's jsoncpp beside them: a subset of the end-to-end tests (a few
#    rounds, one fault switch, the outage alarm), and the first line naming
#    the plug-in's version and the build-id readelf reads from the file;
#  - the Debian package: its files and dependencies; lintian, Debian's own
#    checker, reports no error and no warning; installed with dpkg -i,
#    the bench and the simulator run from PATH, then removed and purged,
#    leaving no file behind.
# Needs build/host (the end-to-end test program, the package's build) and
# build/mipsel, made by the earlier steps of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."

work=build/release-check
rm -rf "$work"
mkdir -p "$work"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
fail() {
  echo "release check: $*" >&2
  exit 1
}
step() { echo "--- $* ($((SECONDS - started)) s)"; }
started=$SECONDS

step "release"
QX_RELEASE_OUT=$work/out QX_RELEASE_HOST_BUILD=build/host bash scripts/release.sh > "$work/made"
bundle=$(grep '\.tar\.gz$' "$work/made")
deb=$(grep '\.deb$' "$work/made")
version=$(build/host/bench/qx7540pm-bench --version | sed 's/^qx7540pm-bench //')
top=qx7540pm-$version-mipsel
[ "$(basename "$bundle")" = "$top.tar.gz" ] || fail "$bundle: named for another version than $version"

step "bundle reproducible"
cmake --build build/mipsel
cpack --config build/mipsel/CPackConfig.cmake -B "$work/again" > "$work/again.log"
again=$work/again/$top.tar.gz
if ! cmp "$bundle" "$again"; then
  mkdir -p "$work/a" "$work/b"
  tar -xzf "$bundle" -C "$work/a"
  tar -xzf "$again" -C "$work/b"
  diff -r "$work/a" "$work/b" || true
  diff <(tar -tvzf "$bundle") <(tar -tvzf "$again") || true
  fail "two builds of one commit gave different bundles"
fi
echo "$(basename "$bundle"): the same from build/mipsel and build/release-mipsel"

step "bundle contents"
mkdir -p "$work/board"
tar -xzf "$bundle" -C "$work/board"
root=$work/board/$top
expected=$(
  printf '%s\n' INSTALL SHA256SUMS abi/qx7540pm.mipsel.abi bin/qx7540pm-bench bin/qx7540pm-sim \
    lib/qx7540pm-bench/libmodbus.so.5 lib/qx7540pm-bench/libzelfw.so qx7540pm.so \
    qx7540pm.so.debug share/doc/libmodbus5/copyright LICENSE copyright \
    lib/qx7540pm-bench/libelf.so.1 lib/qx7540pm-bench/libz.so.1 share/doc/libelf1/copyright \
    share/doc/zlib1g/copyright lib/qx7540pm-bench/libunistring.so.2 \
    share/doc/libunistring2/copyright
  git ls-files bench/examples | sed 's|^bench/||'
  # A message catalogue per language of po/LINGUAS.
  grep -v '^#' po/LINGUAS | sed 's|.*|share/locale/&/LC_MESSAGES/qx7540pm-bench.mo|'
)
diff <(sort <<< "$expected") <(cd "$root" && find . -type f | sed 's|^\./||' | sort) ||
  fail "the bundle holds other files than these"
(cd "$root" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not verify"
[ "$(wc -l < "$root/SHA256SUMS")" -eq "$(($(wc -l <<< "$expected") - 1))" ] ||
  fail "SHA256SUMS does not list every other file"
cmp abi/qx7540pm.mipsel.abi "$root/abi/qx7540pm.mipsel.abi"
cmp LICENSE "$root/LICENSE" || fail "the bundle's LICENSE is not the repository's"
# (Output is taken whole before grep reads it: with pipefail, a grep -q that
# stops early would make the pipeline fail.)
for elf in qx7540pm.so bin/qx7540pm-bench bin/qx7540pm-sim lib/qx7540pm-bench/libzelfw.so; do
  grep -q 'MIPS R3000' <<< "$(readelf -h "$root/$elf")" || fail "$elf is not for the board"
  if grep -Eq ' \.(symtab|debug_[a-z]+) ' <<< "$(readelf -SW "$root/$elf")"; then
    fail "$elf is not stripped"
  fi
done
build_id() { readelf -nW "$1" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p'; }
id=$(build_id "$root/qx7540pm.so")
[ -n "$id" ] && [ "$id" = "$(build_id "$root/qx7540pm.so.debug")" ] ||
  fail "the debug file's build-id is not the plug-in's"
grep -q ' \.debug_info ' <<< "$(readelf -SW "$root/qx7540pm.so.debug")" ||
  fail "the debug file has no debug information"
grep -q 'qx7540pm.so.debug' <<< "$(readelf -p .gnu_debuglink "$root/qx7540pm.so")" ||
  fail "the plug-in has no debug link to qx7540pm.so.debug"
diff <(nm -D --defined-only build/mipsel/qx7540pm.so | awk '{print $2, $3}') \
  <(nm -D --defined-only "$root/qx7540pm.so" | awk '{print $2, $3}') ||
  fail "the stripped plug-in exports other symbols than the built one"
note=$(readelf -p .note.qx7540pm "$root/qx7540pm.so" | sed -n 's/^ *\[ *[0-9a-f]*\]  //p')
grep -qxF "$version" <<< "$note" || fail "the plug-in's version note is not $version: $note"
# Beside it, the jsoncpp it was built against, as readelf -n lists the notes.
grep -qx "jsoncpp [0-9.]* libjsoncpp\.so\.[0-9]*" <<< "$note" ||
  fail "the plug-in does not name the jsoncpp it was built against: $note"
[ "$(readelf -n "$root/qx7540pm.so" | grep -c '^ *qx7540pm ')" = 2 ] ||
  fail "readelf -n does not list the plug-in's two notes"
echo "$top: $(wc -l <<< "$expected") files, plug-in build-id $id"

step "runtime floor"
bash scripts/check-floor.sh "$root/qx7540pm.so" || fail "the bundle's plug-in asks more of the controller than INSTALL says"

step "the bundle's bench on an emulated board"
# The controller carries jsoncpp; everything else the bench needs is in the bundle.
controller=$work/controller-lib
mkdir -p "$controller"
cp -a .deps/mipsel/usr/lib/mipsel-linux-gnu/libjsoncpp.so.* "$controller/"
for tool in qx7540pm-bench qx7540pm-sim; do
  printf '#!/bin/sh\nexec qemu-mipsel -L /usr/mipsel-linux-gnu -E LD_LIBRARY_PATH=%s %s "$@"\n' \
    "$(realpath "$controller")" "$(realpath "$root/bin/$tool")" > "$work/$tool"
  chmod +x "$work/$tool"
  [ "$("$work/$tool" --version)" = "$tool $version" ] || fail "$tool --version is not $version"
done
run=$("$work/qx7540pm-bench" --rounds 1)
first=${run%%$'\n'*}
case $first in
  *"from $(realpath "$root")/qx7540pm.so (version $version, build-id $id) on "*) ;;
  *) fail "the bench's first line does not name the bundle's plug-in, $version and $id: $first" ;;
esac
subset="BenchProfile.DefaultProfileReachesRecordsAndSnapshot"
subset+=":EverySwitch/BenchFaults.FailOneRoundThenRecover/crc"
subset+=":BenchAlarm.OutageOfAMonitoredPhaseRaisesTheAlarm"
subset+=":BenchRun.HumanOutputShowsValuesAlarmQueryAndSummary"
subset+=":BenchRun.JsonModeWritesOnlyJsonAndTheSummaryLast"
TZ=UTC QX_E2E_BENCH=$work/qx7540pm-bench QX_E2E_SIM=$work/qx7540pm-sim \
  QX_E2E_PLUGIN=$(realpath "$root/qx7540pm.so") \
  build/host/tests/e2e/qx7540pm_e2e --gtest_filter="$subset" | tee "$work/board-e2e.log"
grep -q '^\[  PASSED  \] 5 tests\.' "$work/board-e2e.log" || fail "not all 5 board tests ran"

step "Debian package"
[ "$(dpkg-deb -f "$deb" Package)" = qx7540pm-bench ] || fail "$deb: wrong package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libmodbus5 libjsoncpp25 libstdc++6 libc6; do
  grep -q "\b$lib\b" <<< "$depends" || fail "$deb does not depend on $lib: $depends"
done
dpkg-deb -c "$deb" | awk '{print $6}' > "$work/deb-files"
for file in ./usr/bin/qx7540pm-bench ./usr/bin/qx7540pm-sim ./usr/lib/qx7540pm-bench/qx7540pm.so \
  ./usr/lib/qx7540pm-bench/libzelfw.so ./usr/share/man/man1/qx7540pm-bench.1.gz \
  ./usr/share/man/man1/qx7540pm-sim.1.gz ./usr/share/qx7540pm-bench/examples/default.json \
  ./usr/share/locale/zh_CN/LC_MESSAGES/qx7540pm-bench.mo; do
  grep -qx -- "$file" "$work/deb-files" || fail "$deb has no $file"
done

# --- Debian's own checker: no error, no warning ---
step "lintian"
bash scripts/check-lintian.sh "$deb"
# --- end of Debian's checker ---

purge() { $SUDO dpkg --purge qx7540pm-bench > /dev/null 2>&1 || true; }
purge
trap purge EXIT
$SUDO dpkg -i "$deb"
dpkg-query -L qx7540pm-bench | while read -r path; do
  if [ ! -d "$path" ]; then echo "$path"; fi
done > "$work/installed"
# From PATH, in another directory, with no library path: as a field engineer runs it.
installed_run() { (cd "$work" && env -u LD_LIBRARY_PATH PATH=/usr/bin:/bin "$@"); }
[ "$(installed_run sh -c "command -v qx7540pm-bench")" = /usr/bin/qx7540pm-bench ] ||
  fail "qx7540pm-bench is not found in PATH"
installed_run qx7540pm-bench --rounds 2 --interval 50 > "$work/bench.out" ||
  fail "the installed bench failed (see $work/bench.out)"
grep -q "from /usr/lib/qx7540pm-bench/qx7540pm.so (version $version, build-id " \
  "$work/bench.out" || fail "the installed bench did not load the installed plug-in"
grep -q '^summary: 2 rounds, 2 ok' "$work/bench.out" || fail "the installed bench's rounds failed"
[ "$(installed_run qx7540pm-sim --version)" = "qx7540pm-sim $version" ] ||
  fail "the installed qx7540pm-sim --version is not $version"
grep -q 'rounds' <<< "$(zcat /usr/share/man/man1/qx7540pm-bench.1.gz)" || fail "no man page of the bench"
$SUDO dpkg -r qx7540pm-bench
$SUDO dpkg --purge qx7540pm-bench
trap - EXIT
left=""
while read -r path; do
  if [ -e "$path" ]; then left+=" $path"; fi
done < "$work/installed"
for dir in /usr/lib/qx7540pm-bench /usr/share/qx7540pm-bench /usr/share/doc/qx7540pm-bench; do
  if [ -e "$dir" ]; then left+=" $dir"; fi
done
[ -z "$left" ] || fail "files left behind after purge: $left"
! dpkg-query -W qx7540pm-bench > /dev/null 2>&1 || fail "dpkg still knows qx7540pm-bench"
echo "$(basename "$deb"): installed, ran from PATH, removed; $(wc -l < "$work/installed") files, none left"

step "done"
echo "bundle $(stat -c %s "$bundle") bytes ($(basename "$bundle")), package $(stat -c %s "$deb") bytes ($(basename "$deb"))"
