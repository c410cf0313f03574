// Wall-clock benchmarks of the operations in scenario.h. Each benchmark has
// its own meter, set up outside the timed loop.
#include <benchmark/benchmark.h>

#include "scenario.h"

namespace qxperf {
namespace {

void BM_Round(benchmark::State& state) {
  Scenario s;
  for (auto _ : state) s.round();
}
BENCHMARK(BM_Round);

// A round on each of N meters in turn, as the controller polls a line: the
// time per meter should not grow with N.
void BM_RoundOnMeters(benchmark::State& state) {
  Scenario s(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    s.round();
    s.next_meter();
  }
}
BENCHMARK(BM_RoundOnMeters)->Arg(32)->Arg(247);

void BM_Snapshot801Fresh(benchmark::State& state) {
  Scenario s;
  for (auto _ : state) benchmark::DoNotOptimize(s.snapshot_text());
}
BENCHMARK(BM_Snapshot801Fresh);

// Rounds within one second share last_update and so share one rendering; a new
// second is simulated by moving last_update on, which renders all 37 members
// again from the same record.
void BM_Snapshot801Rebuild(benchmark::State& state) {
  Scenario s;
  for (auto _ : state) {
    s.advance_last_update();
    benchmark::DoNotOptimize(s.snapshot_text());
  }
}
BENCHMARK(BM_Snapshot801Rebuild);

void BM_Snapshot803Fresh(benchmark::State& state) {
  Scenario s;
  for (auto _ : state) benchmark::DoNotOptimize(s.snapshot_address());
}
BENCHMARK(BM_Snapshot803Fresh);

void BM_ValueQuery(benchmark::State& state) {
  Scenario s;
  for (auto _ : state) benchmark::DoNotOptimize(s.value_query());
}
BENCHMARK(BM_ValueQuery);

void BM_CacheLoad(benchmark::State& state) {
  Scenario s;
  for (auto _ : state) s.load_cache();
}
BENCHMARK(BM_CacheLoad);

void BM_FastWriterYardstick(benchmark::State& state) {
  Scenario s;
  for (auto _ : state) benchmark::DoNotOptimize(s.write_yardstick());
}
BENCHMARK(BM_FastWriterYardstick);

}  // namespace
}  // namespace qxperf
