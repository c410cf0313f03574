#!/bin/sh
# Checks the dynamic symbol table of the built plug-in with the target's own
# binutils: the controller resolves get_providers and our classes' tables from
# it, and supplies the framework and jsoncpp itself.
#
# usage: check-symbols.sh NM READELF PLUGIN
set -u
if [ $# -ne 3 ]; then
  echo "usage: $0 NM READELF PLUGIN" >&2
  exit 2
fi
nm=$1
readelf=$2
plugin=$3

failures=0
checks=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
check() { checks=$((checks + 1)); }

defined=$("$nm" -D --defined-only "$plugin") || { echo "cannot read $plugin" >&2; exit 2; }
undefined=$("$nm" -D --undefined-only "$plugin") || exit 2
needed=$("$readelf" -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') || exit 2

defined_names=$(printf '%s\n' "$defined" | awk '{print $NF}')
undefined_names=$(printf '%s\n' "$undefined" | awk '{print $NF}')

# The entry point: a function, under its plain C name.
check
printf '%s\n' "$defined" | grep -Eq '^[0-9a-f]+ T get_providers$' ||
  fail "get_providers is not an exported function with C linkage"
check
printf '%s\n' "$defined_names" | grep -q 'get_providers.' &&
  fail "get_providers is also exported under another name"

# Framework and jsoncpp: referenced, never defined here (asString in either
# std::string ABI: QX_OLD_STRING_ABI builds the old one).
for symbol in _ZN8SPModbusC2Ev _ZN8SPModbusD2Ev _Z9get_ttimeN5boost10posix_time5ptimeE \
  _ZTI8SPModbus _ZN8SPModbus21modbus_read_registersEii '_ZNK4Json5Value8asString(B5cxx11)?Ev'; do
  check
  printf '%s\n' "$undefined_names" | grep -Eqx "$symbol" || fail "$symbol is not left undefined"
done
check
printf '%s\n' "$undefined_names" | grep -Eq '^_ZN?K?4Json' || fail "no jsoncpp symbol is referenced"
framework='^(_ZN|_ZNK|_ZTV|_ZTI|_ZTS)(4Json|16VDeviceInterface|10ZelVDevice|11ZelSPDevice|8SPModbus|10rule_value)|^_Z9get_ttime'
check
bad=$(printf '%s\n' "$defined_names" | grep -E "$framework")
[ -z "$bad" ] || fail "framework or jsoncpp symbols defined in the plug-in:
$bad"

# No library of the framework's or of jsoncpp's is asked for: the loading
# process supplies both.
check
bad=$(printf '%s\n' "$needed" | grep -Ei 'jsoncpp|zelfw')
[ -z "$bad" ] || fail "unwanted NEEDED entries: $bad"

# Tables and type information of the device and provider classes.
for symbol in _ZTV8QX7540PM _ZTI8QX7540PM _ZTS8QX7540PM \
  _ZTV13UniDataDeviceI15QX7540PM_Data_t8SPModbusLi5156EE \
  _ZTI13UniDataDeviceI15QX7540PM_Data_t8SPModbusLi5156EE \
  _ZTV16QX7540PMProvider _ZTI16QX7540PMProvider _ZTV19ZelSPDeviceProvider _ZTI19ZelSPDeviceProvider \
  _ZTV8Provider _ZTI8Provider; do
  check
  printf '%s\n' "$defined_names" | grep -qx "$symbol" || fail "$symbol is not exported"
done

# Our own helpers stay inside.
check
bad=$(printf '%s\n' "$defined_names" | grep -E '8qx7540pm')
[ -z "$bad" ] || fail "helpers of namespace qx7540pm exported:
$bad"

echo "symbol table: $checks checks, $failures failures"
[ "$failures" -eq 0 ]
