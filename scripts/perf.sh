#!/usr/bin/env bash
# Measures the plug-in: wall-clock benchmarks, instructions per operation on
# x86-64 (callgrind) and on the board's instruction set (qemu-mipsel with a
# counting plug-in), memory per device and the stripped size of the board's .so.
#
#   bash scripts/perf.sh            everything; exits 1 if a budget is missed
#
# Environment:
#   QX_PERF_BUILD     host build directory     (default build/perf-release)
#   QX_PERF_MIPSEL    mipsel build directory   (default build/perf-release-mipsel; "skip" skips it)
#   QX_PERF_COUNT     operations per counted run, callgrind and qemu (default 500)
#   QX_PERF_MIN_TIME  seconds per benchmark    (default 0.5)
#   QX_PERF_OPS       operations to count      (default: all of qx7540pm_perf --list)
#   QX_PERF_METERS    meters in one process for the growth figures (default 1,32,247)
#   QX_PERF_LINE      meters on one paced line  (default 1,8,32; "skip" skips it)
#   QX_PERF_LINE_CYCLES  bus cycles per line run (default 3)
#
# Results land in $QX_PERF_BUILD/results/: benchmark.json, memory.txt,
# instructions.txt (and .md), callgrind.<op>.out per operation, growth.txt,
# line.txt (and .md); for the board
# instructions-mipsel.txt (and .md), qemu.<op>.counts and .maps, and the
# counted instructions per function in profile-mipsel/<op>.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QX_PERF_BUILD:-build/perf-release}
mipsel=${QX_PERF_MIPSEL:-build/perf-release-mipsel}
count=${QX_PERF_COUNT:-500}
min_time=${QX_PERF_MIN_TIME:-0.5}
meters=${QX_PERF_METERS:-1,32,247}
line=${QX_PERF_LINE:-1,8,32}
line_cycles=${QX_PERF_LINE_CYCLES:-3}
results=$build/results
# The device stamps rounds with local time; a fixed zone keeps runs comparable.
export TZ=UTC

for tool in cmake valgrind python3 qemu-mipsel; do
  command -v "$tool" >/dev/null || { echo "perf.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 2; }
done

echo "=== build ($build, RelWithDebInfo)"
cmake --preset host -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target qx7540pm_perf qx7540pm qx_qemu_count qx7540pm-bench -j2
perf_bin=$build/perf/qx7540pm_perf
mkdir -p "$results"
rm -f "$results/growth-mipsel.txt"

echo
echo "=== benchmarks (wall clock; noisy on a shared machine)"
"$perf_bin" --benchmark_min_time="$min_time" --benchmark_out="$results/benchmark.json" \
  --benchmark_out_format=json

echo
echo "=== memory per device"
"$perf_bin" --memory --rounds=1000 --meters="$meters" | tee "$results/memory.txt"

echo
echo "=== instructions per operation (callgrind, $count operations each)"
ops=${QX_PERF_OPS:-$("$perf_bin" --list | cut -f1)}
runs=()
for op in $ops; do
  out=$results/callgrind.$op.out
  # Collection is off until the driver has warmed up, and on only around the
  # counted operations.
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
    "$perf_bin" --drive="$op" --count="$count" >/dev/null 2>"$results/callgrind.$op.log" ||
    { cat "$results/callgrind.$op.log" >&2; exit 1; }
  runs+=("$op=$out")
done
python3 perf/callgrind_split.py --count "$count" --markdown "${runs[@]}" >"$results/instructions.md"
# Growth: a round on each of M meters in turn, a whole number of times each.
for m in ${meters//,/ }; do
  n=$(( (count + m - 1) / m * m ))
  out=$results/callgrind.round-on-$m.out
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
    "$perf_bin" --drive=round --count="$n" --meters="$m" >/dev/null 2>"$results/callgrind.round-on-$m.log"
  # The column names once, then one row per number of meters.
  python3 perf/callgrind_split.py --count "$n" "round/$m=$out" |
    sed -n "$([ "$m" = "${meters%%,*}" ] && echo 1,2p || echo 2p)"
done >"$results/growth.txt"
status=0
python3 perf/callgrind_split.py --count "$count" --budgets "${runs[@]}" |
  tee "$results/instructions.txt" || status=1

if [ "$mipsel" != skip ]; then
  echo
  echo "=== instructions per operation on the board (qemu-mipsel, $count operations each)"
  sysroot=${QX_MIPSEL_SYSROOT:-.deps/mipsel}
  cmake --preset mipsel -B "$mipsel" -DQX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$mipsel" --target qx7540pm qx7540pm_count -j2 >/dev/null
  counter=$build/perf/libqx_qemu_count.so
  mkdir -p "$results/profile-mipsel"
  runs=()
  for op in $ops; do
    # Each run writes window 0 (the markers alone) and window 1 (the operations).
    qemu-mipsel -L /usr/mipsel-linux-gnu -E "LD_LIBRARY_PATH=$sysroot/usr/lib/mipsel-linux-gnu" \
      -plugin "$counter,out=$results/qemu.$op.counts" \
      "$mipsel/perf/qx7540pm_count" --drive="$op" --count="$count" --maps="$results/qemu.$op.maps" \
      >/dev/null 2>"$results/qemu.$op.log" || { cat "$results/qemu.$op.log" >&2; exit 1; }
    runs+=("$op=$results/qemu.$op.counts,$results/qemu.$op.maps")
  done
  python3 perf/qemu_split.py --count "$count" --markdown "${runs[@]}" >"$results/instructions-mipsel.md"
  python3 perf/qemu_split.py --count "$count" --budgets --profile "$results/profile-mipsel" \
    "${runs[@]}" | tee "$results/instructions-mipsel.txt" || status=1
  for m in ${meters//,/ }; do
    n=$(( (count + m - 1) / m * m ))
    qemu-mipsel -L /usr/mipsel-linux-gnu -E "LD_LIBRARY_PATH=$sysroot/usr/lib/mipsel-linux-gnu" \
      -plugin "$counter,out=$results/qemu.round-on-$m.counts" \
      "$mipsel/perf/qx7540pm_count" --drive=round --count="$n" --meters="$m" \
      --maps="$results/qemu.round-on-$m.maps" >/dev/null 2>&1
    python3 perf/qemu_split.py --count "$n" \
      "round/$m=$results/qemu.round-on-$m.counts,$results/qemu.round-on-$m.maps" |
      sed -n "$([ "$m" = "${meters%%,*}" ] && echo 1,2p || echo 2p)"
  done >"$results/growth-mipsel.txt"

  echo
  echo "=== stripped size of qx7540pm.so"
  mipsel-linux-gnu-strip -o "$results/qx7540pm.mipsel.stripped.so" "$mipsel/qx7540pm.so"
  strip -o "$results/qx7540pm.x86-64.stripped.so" "$build/qx7540pm.so"
  for so in "$results"/qx7540pm.*.stripped.so; do
    printf '%-32s %8d bytes\n' "$(basename "$so")" "$(stat -c %s "$so")"
  done | tee "$results/size.txt"
  # sizeof(QX7540PM) on the board: the size of a symbol declared with it.
  mipsel-linux-gnu-g++ -std=c++17 -c perf/sizeof_probe.cpp -o "$mipsel/sizeof_probe.o" \
    -I framework -I device -isystem "$sysroot/usr/include/jsoncpp" -isystem "$sysroot/usr/include"
  size_hex=$(mipsel-linux-gnu-nm -S "$mipsel/sizeof_probe.o" | awk '$4 == "qx7540pm_object_size" {print $2}')
  printf '%-32s %8d bytes\n' "sizeof(QX7540PM) on mipsel" "$((16#$size_hex))" | tee -a "$results/size.txt"
fi

if [ "$line" != skip ]; then
  echo
  echo "=== meters on one paced 9600-baud line ($line_cycles cycles each; wall clock, noisy)"
  # The value query's staleness limit, as the device states it.
  limit=$(sed -n 's/.*kStaleAfterSeconds = \([0-9]*\);.*/\1/p' device/qx7540pm.h)
  python3 perf/shared_line.py --bench "$build/bench/qx7540pm-bench" --limit "$limit" \
    --meters "$line" --cycles "$line_cycles" --markdown "$results/line.md" | tee "$results/line.txt"
fi

echo
echo "=== growth: instructions per round on each of M meters in one process"
cat "$results/growth.txt" "$results/growth-mipsel.txt" 2>/dev/null

echo
echo "results in $results"
exit "$status"
