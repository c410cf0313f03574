#!/bin/sh
# The release stage's floor check: it passes the built plug-in and refuses a
# library that needs newer C and C++ library versions, naming both.
# usage: check-floor-test.sh CHECK_FLOOR PLUGIN TOO_NEW
set -u
check=$1 plugin=$2 too_new=$3
bash "$check" "$plugin" || { echo "FAIL: the built plug-in is above the floor"; exit 1; }
if out=$(bash "$check" "$too_new" 2>&1); then
  echo "FAIL: a library needing GLIBCXX_3.4.29 passed the floor check"
  exit 1
fi
echo "$out"
for want in 'GLIBCXX_3.4.29 above GLIBCXX_3.4.21' 'GLIBC_2.32 above GLIBC_2.2' '::reserve()'; do
  case $out in
    *"$want"*) ;;
    *) echo "FAIL: the refusal does not say '$want'"; exit 1 ;;
  esac
done
echo "floor check: 2 passed, 0 failed"
