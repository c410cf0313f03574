#!/bin/sh
# The compiler's class-layout dump of the device and provider classes, filtered
# to the classes the controller depends on and with addresses removed, compared
# with the committed expectation for the target.
#
#   class-layout.sh check  DUMP EXPECTED   diff, and check the destructor slots
#   class-layout.sh update DUMP EXPECTED   rewrite EXPECTED from DUMP
#
# DUMP is written when the build compiles tests/abi/class_dump.cpp. To accept an
# intended change of the layout, rebuild, then run the build's
# `update-class-layout` target (cmake --build BUILD --target update-class-layout)
# for each target (host and mipsel), review the diff and commit both files.
set -u
if [ $# -ne 3 ]; then
  echo "usage: $0 check|update DUMP EXPECTED" >&2
  exit 2
fi
mode=$1
dump=$2
expected=$3

classes='VDeviceInterface|ZelVDevice|ZelSPDevice|SPModbus|UniDataDevice<QX7540PM_Data_t, SPModbus, 5156>|QX7540PM|Provider|ZelSPDeviceProvider|QX7540PMProvider|QX7540PM_Data_t|ttime_t'

filter() {
  sed -e 's/ (0x0x[0-9a-f]*)//g' "$1" | awk -v names="$classes" '
    BEGIN { n = split(names, list, "|"); for (i = 1; i <= n; i++) want[list[i]] = 1 }
    /^(Class|Vtable for) / {
      name = $0
      sub(/^(Class|Vtable for) /, "", name)
      keep = (name in want)
    }
    keep { print }
    /^$/ { keep = 0 }'
}

# Entry of a class table at a slot: the entries after offset-to-top and typeinfo.
slot_entry() {
  awk -v cls="$2" -v slot="$3" '
    $0 == "Vtable for " cls { inside = 1; entry = 0; next }
    inside && /^$/ { exit }
    inside && /^[0-9]/ {
      if (entry == slot + 2) { sub(/^[0-9]+ +\(int \(\*\)\(\.\.\.\)\)/, ""); print; exit }
      entry++
    }' "$1"
}

[ -r "$dump" ] || { echo "no class dump at $dump: build the project first" >&2; exit 2; }
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
filter "$dump" >"$actual"
[ -s "$actual" ] || { echo "the dump holds none of the classes" >&2; exit 2; }

case $mode in
  update)
    cp "$actual" "$expected"
    echo "wrote $expected"
    ;;
  check)
    failures=0
    # The controller deletes devices and providers through these slots.
    for probe in "QX7540PM 8 QX7540PM::~QX7540PM" "QX7540PM 9 QX7540PM::~QX7540PM" \
      "QX7540PMProvider 0 QX7540PMProvider::~QX7540PMProvider" \
      "QX7540PMProvider 1 QX7540PMProvider::~QX7540PMProvider" \
      "QX7540PMProvider 2 QX7540PMProvider::create"; do
      set -- $probe
      got=$(slot_entry "$actual" "$1" "$2")
      if [ "$got" != "$3" ]; then
        echo "FAIL: slot $2 of $1 holds '$got', not $3"
        failures=$((failures + 1))
      fi
    done
    if ! diff -u "$expected" "$actual"; then
      echo "FAIL: class layout differs from $expected (see the top of $0 to update it on purpose)"
      failures=$((failures + 1))
    fi
    echo "class layout: $failures failures"
    [ "$failures" -eq 0 ]
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
