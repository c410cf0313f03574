#!/usr/bin/env bash
# The board plug-in's runtime floor: what a controller must have to load it.
# Fails, naming each item, when the plug-in asks for more than the floor
# below (a newer C or C++ library symbol version) or for something else (a
# higher MIPS ISA level, another floating-point ABI or NaN encoding, the old
# std::string ABI). The bundle's INSTALL states the same table.
#   scripts/check-floor.sh PLUGIN.so
#   scripts/check-floor.sh --report PLUGIN.so   what this plug-in asks of a
#       controller, judged against nothing (a build with the controller's SDK
#       leaves the bundle's floor on purpose: its floor is its controller's)
set -euo pipefail

if [ "${1:-}" = --report ]; then
  [ $# -eq 2 ] && [ -r "$2" ] || { echo "usage: $0 --report PLUGIN.so" >&2; exit 2; }
  header=$(readelf -hW "$2")
  field() { sed -n "s/^ *$1: *//p" <<< "$header"; }
  fp=$(readelf -AW "$2" | sed -n 's/^FP ABI: *//p')
  strings=C++11
  nm -D "$2" | c++filt | grep -q '__cxx11::basic_string' || strings=old
  highest=$(readelf -VW "$2" | sed -n 's/^ *0x[0-9a-f]*: *Name: *\([A-Z]*\)_\([0-9.]*\) .*/\1 \2/p' |
    sort -k1,1 -k2,2V | awk '{top[$1] = $1 "_" $2} END {for (l in top) print top[l]}' | sort | paste -sd' ' -)
  flags=$(field Flags)
  echo "floor of $2: $(field Class) $(field Machine), flags ${flags:-none}${fp:+, FP ABI $fp}, $strings std::string ABI; highest versions: ${highest:-none}"
  exit 0
fi

# Symbol version ceilings, per library: GCC 5's C++ library is the first with
# the C++11 std::string ABI.
declare -A ceiling=([GLIBC]=2.2 [GLIBCXX]=3.4.21 [CXXABI]=1.3.9 [GCC]=3.0)
want_machine="MIPS R3000"
want_class=ELF32
want_data="little endian"
want_isa=mips32r2
want_abi=o32
want_fp_abi="Hard float (32-bit CPU, Any FPU)"

[ $# -eq 1 ] || { echo "usage: $0 PLUGIN.so" >&2; exit 2; }
plugin=$1
[ -r "$plugin" ] || { echo "check-floor: cannot read $plugin" >&2; exit 2; }
problems=()

header=$(readelf -hW "$plugin")
field() { sed -n "s/^ *$1: *//p" <<< "$header"; }
[ "$(field Class)" = "$want_class" ] || problems+=("class $(field Class), not $want_class")
[[ "$(field Data)" == *"$want_data"* ]] || problems+=("data $(field Data), not $want_data")
[ "$(field Machine)" = "$want_machine" ] || problems+=("machine $(field Machine), not $want_machine")
flags=$(field Flags)
[[ ", $flags," == *", $want_isa,"* ]] || problems+=("ISA level not $want_isa: $flags")
[[ ", $flags," == *", $want_abi,"* ]] || problems+=("ABI not $want_abi: $flags")
[[ "$flags" != *nan2008* ]] || problems+=("NaN encoding IEEE 754-2008, not legacy: $flags")
fp_abi=$(readelf -AW "$plugin" | sed -n 's/^FP ABI: *//p')
[ "$fp_abi" = "$want_fp_abi" ] || problems+=("FP ABI '$fp_abi', not '$want_fp_abi'")

# Every version the plug-in needs, against its library's ceiling.
while read -r name; do
  lib=${name%%_*}
  version=${name#*_}
  if [ -z "${ceiling[$lib]+set}" ]; then
    problems+=("symbol version $name of a library outside the floor")
  elif [ "$(printf '%s\n%s\n' "$version" "${ceiling[$lib]}" | sort -V | tail -1)" != "${ceiling[$lib]}" ]; then
    problems+=("symbol version $name above ${lib}_${ceiling[$lib]}: $(
      nm -D --with-symbol-versions "$plugin" | awk -v v="@$name" 'index($0, v) {print $NF}' |
        sed "s/@$name//" | c++filt | paste -sd, -)")
  fi
done < <(readelf -VW "$plugin" | sed -n 's/^ *0x[0-9a-f]*: *Name: *\([A-Z]*_[0-9.]*\) .*/\1/p' | sort -u)

# The C++11 std::string ABI: its symbols are there, the old ABI's are not.
symbols=$(nm -D "$plugin" | c++filt)
grep -q '__cxx11::basic_string' <<< "$symbols" ||
  problems+=("no std::__cxx11::basic_string symbol: built with the old std::string ABI")

if [ ${#problems[@]} -gt 0 ]; then
  printf "check-floor: $plugin: %s\n" "${problems[@]}" >&2
  exit 1
fi
needs=$(readelf -VW "$plugin" | sed -n 's/^ *0x[0-9a-f]*: *Name: *\([A-Z]*_[0-9.]*\) .*/\1/p' | sort -V | paste -sd' ' -)
echo "check-floor: $plugin: $want_machine $want_isa $want_abi, FP ABI $want_fp_abi, legacy NaN, C++11 strings; needs $needs"
