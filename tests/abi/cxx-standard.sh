#!/bin/sh
# The plug-in's sources are compiled as the standard the build asks for
# (C++11 unless QX_PLUGIN_CXX_STANDARD says otherwise): every compilation unit
# of the built file names it in its debug information.
# usage: cxx-standard.sh READELF PLUGIN STANDARD
set -u
readelf=$1 plugin=$2 standard=$3
units=$("$readelf" --debug-dump=info "$plugin" 2> /dev/null | grep -o 'GNU C++[0-9]* ' | sort | uniq -c)
[ -n "$units" ] || { echo "FAIL: no debug information in $plugin"; exit 1; }
echo "$units"
if echo "$units" | grep -v " GNU C++$standard \$" | grep -q .; then
  echo "FAIL: not every unit of $plugin is C++$standard"
  exit 1
fi
echo "cxx standard: 1 passed, 0 failed"
