// qx7540pm_perf: benchmarks of one meter loaded from qx7540pm.so, plus two
// modes for scripts/perf.sh.
//
//   qx7540pm_perf [--benchmark_* flags]   time every operation (Google Benchmark)
//   qx7540pm_perf --drive=OP --count=N [--meters=M]
//                                         run OP N times with callgrind collecting
//   qx7540pm_perf --memory [--rounds=N] [--meters=1,32,247]
//                                         bytes per device and growth per round, for
//                                         each number of meters in one process
//   qx7540pm_perf --list                  the operations --drive knows
//
// The plug-in writes "rvSize is N" after every round; in benchmark and memory
// mode stdout goes to /dev/null and the report to the original stdout.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "drive.h"
#include "memory.h"
#include "qxhost/output.h"
#include "scenario.h"

namespace {

bool take_value(const char* arg, const char* flag, std::string& value) {
  const std::size_t n = std::strlen(flag);
  if (std::strncmp(arg, flag, n) != 0 || arg[n] != '=') return false;
  value = arg + n + 1;
  return true;
}

// mallinfo2 counts chunks parked in malloc's per-thread cache as in use, so a
// device that reuses a freed chunk would show no cost. The memory figures are
// taken with that cache off: the program runs itself again with the tunable set.
constexpr const char* kNoThreadCache = "glibc.malloc.tcache_count=0";

bool thread_cache_off() {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  return tunables != nullptr && std::strstr(tunables, kNoThreadCache) != nullptr;
}

// Meter counts separated by commas ("1,32,247").
std::vector<int> parse_counts(const std::string& list) {
  std::vector<int> counts;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const int n = std::atoi(list.substr(start, comma - start).c_str());
    if (n <= 0) throw std::invalid_argument("bad meter count in: " + list);
    counts.push_back(n);
    start = comma + 1;
  }
  return counts;
}

int report_memory(char** argv, const std::string& meters, int rounds) {
  if (!thread_cache_off()) {
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    const std::string value = tunables != nullptr && *tunables != '\0'
                                  ? std::string(tunables) + ":" + kNoThreadCache
                                  : std::string(kNoThreadCache);
    ::setenv("GLIBC_TUNABLES", value.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::perror("re-running with malloc's thread cache off");
    return 1;
  }
  qxhost::DiscardStdout quiet;
  bool flat = true;
  for (const int n : parse_counts(meters)) {
    const qxperf::MemoryFigures m = qxperf::measure_memory(n, rounds);
    qxperf::print_memory(quiet.own_stdout_stream(), m);
    flat = flat && m.growth == 0 && m.left_after_destroy == 0;
  }
  return flat ? 0 : 1;
}

int run_benchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  qxhost::DiscardStdout quiet;
  benchmark::ConsoleReporter reporter(::isatty(::fileno(quiet.own_stdout()))
                                          ? benchmark::ConsoleReporter::OO_Defaults
                                          : benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&quiet.own_stdout_stream());
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qxperf::DriveOptions drive;
  int rounds = 1000;
  std::string meters = "1";
  bool memory = false;
  for (int i = 1; i < argc; ++i) {
    std::string value;
    if (take_value(argv[i], "--drive", value)) {
      drive.operation = value;
    } else if (take_value(argv[i], "--count", value)) {
      drive.count = std::atol(value.c_str());
    } else if (take_value(argv[i], "--meters", value)) {
      meters = value;
      drive.meters = std::atoi(value.c_str());
    } else if (take_value(argv[i], "--rounds", value)) {
      rounds = std::atoi(value.c_str());
    } else if (std::strcmp(argv[i], "--memory") == 0) {
      memory = true;
    } else if (std::strcmp(argv[i], "--list") == 0) {
      for (const qxperf::Operation& op : qxperf::operations()) {
        std::cout << op.name << "\t" << op.what << "\n";
      }
      return 0;
    }
  }
  try {
    if (!drive.operation.empty()) return qxperf::drive(drive);
    if (memory) return report_memory(argv, meters, rounds);
    return run_benchmarks(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "qx7540pm_perf: " << e.what() << "\n";
    return 1;
  }
}
