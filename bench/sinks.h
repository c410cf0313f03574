// Where a polling run's rounds go: standard output as text, JSON lines or a
// live screen, and the files the user asked for (CSV, history, the HTML
// report). The poll loop feeds every sink the same three events and never
// asks which outputs are on; a new output is one more sink, made in
// make_sinks.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_options.h"
#include "report.h"

namespace qxbench {

class RoundSink {
 public:
  virtual ~RoundSink() = default;
  /// One meter's round (or the record restored from the cache) and that
  /// meter's counts so far.
  virtual void round(const RoundReport& report, const Summary& counts) = 0;
  /// A cycle ended: every meter polled once.
  virtual void cycle(const LineSummary& /*totals*/) {}
  /// The run ended (interrupted or not). False with a message when the
  /// sink's output could not be completed.
  virtual bool end(const LineSummary& totals, std::string& error) = 0;
};

using Sinks = std::vector<std::unique_ptr<RoundSink>>;

/// What the sinks need to know of the run besides its rounds.
struct RunFacts {
  std::string plugin_path;
  Summary link;         ///< the link as the summary names it, and its wire minimum
  std::string polling;  ///< "every 1000 ms, timeout 500 ms"
};

/// The sinks the options ask for: the standard-output one (text, --json or
/// --watch) and the --csv, --history and --report files. The files are
/// opened here, as temporary files beside their targets; false with a
/// message when one cannot be (exit code 4, as for any unusable file named
/// on the command line; a write that fails later is exit code 6).
bool make_sinks(const BenchOptions& options, const RunFacts& facts, std::FILE* out, Sinks& sinks,
                std::string& error);

/// Text summary of the run: one meter's, or each meter's and the bus cycle.
void print_run_summary(std::FILE* out, const LineSummary& totals);

}  // namespace qxbench
