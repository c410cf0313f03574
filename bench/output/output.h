// The bench's output modules: polling and decode write what they find
// through them, never choosing a form themselves. Each form (text, JSON, CSV,
// the live screen, the history file, the commissioning report) is one module
// in a file of its own (output/*_output.cpp), registered by one line in
// outputs.cpp; the options below choose which modules a run has.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "qx7540pm_data.h"
#include "qxcore/line_setting.h"
#include "round_format.h"

namespace qxbench {

/// The options that choose the outputs, the same for every command.
struct OutputOptions {
  bool json = false;         ///< standard output: one JSON object per item, then a summary
  bool csv = false;          ///< standard output: CSV (decode)
  bool watch = false;        ///< standard output: one screen per cycle on a terminal
  std::string csv_path;      ///< one CSV row per round (empty: none)
  std::string history_path;  ///< every stored record, appended
  std::string report_path;   ///< the commissioning report, written when the run ends
};

/// What the outputs know of a polling run besides its rounds.
struct RunFacts {
  std::string plugin_path;
  Summary link;         ///< the link as the summary names it, and its wire minimum
  std::string polling;  ///< "every 1000 ms, timeout 500 ms"
};

/// One stored record, as decode shows it.
struct DecodedRecord {
  std::string path;
  std::size_t index = 0;
  QX7540PM_Data_t record{};
  std::string stamp;  ///< the record's own time stamp
  Json::Value values;
};

struct Probe;
struct ScanSummary;

/// One id that answered the scan: its line, its verdict and, for a meter,
/// the command line that polls it.
struct ScanResponder {
  int slave = 0;
  std::string line;                              ///< "9600 8N1" or "TCP host:port"
  const qxcore::LineSetting* setting = nullptr;  ///< null for TCP
  const Probe* probe = nullptr;
  std::string command;  ///< empty unless the responder is a meter
};

/// What a command is, for the modules that serve only some.
enum class Command { kPoll, kDecode, kScan };

struct OutputContext {
  Command command = Command::kPoll;
  const OutputOptions& options;
  std::FILE* out;                            ///< standard output (or what stands for it)
  const RunFacts* facts = nullptr;           ///< polling only
  const std::vector<int>* slaves = nullptr;  ///< polling only: the meters, in order
  std::size_t scan_settings = 0;             ///< scan only: line settings to try
  std::size_t scan_ids = 0;                  ///< scan only: ids per setting
  bool progress = false;                     ///< scan only: a progress bar on standard error
};

class Output {
 public:
  virtual ~Output() = default;
  /// One meter's round (or the record restored from the cache) and that
  /// meter's counts so far.
  virtual void round(const RoundResult& /*report*/, const Summary& /*counts*/) {}
  /// A cycle ended: every meter polled once.
  virtual void cycle(const LineSummary& /*totals*/) {}
  /// One decoded record.
  virtual void record(const DecodedRecord& /*record*/) {}
  /// Scan: a line setting begins; one id was probed (elapsed_s since the scan began).
  virtual void scan_setting(const std::string& /*line*/) {}
  virtual void scan_probed(double /*elapsed_s*/) {}
  /// Scan: --trace's frames of one probe, as they happen.
  virtual void scan_frames(int /*slave*/, const std::vector<TracedFrame>& /*frames*/) {}
  virtual void scan_responder(const ScanResponder& /*responder*/) {}
  /// Scan: the progress is cleared before another message on standard error; idempotent.
  virtual void scan_pause() {}
  virtual void scan_end(const ScanSummary& /*summary*/) {}
  /// The run ended (interrupted or not). False with a message when the
  /// output could not be completed.
  virtual bool end(const LineSummary& /*totals*/, std::string& /*error*/) { return true; }
};

using Outputs = std::vector<std::unique_ptr<Output>>;

/// A module: adds its output to `outputs` when the options ask for it. False
/// with a message when its file cannot be opened.
using MakeOutput = bool (*)(const OutputContext& context, Outputs& outputs, std::string& error);

/// Opens a module's file (its open(error)) and adds it; false with the message
/// when it cannot be opened.
template <typename FileOutput, typename... Args>
bool add_file_output(Outputs& outputs, std::string& error, Args&&... args) {
  auto file = std::make_unique<FileOutput>(std::forward<Args>(args)...);
  if (!file->open(error)) return false;
  outputs.push_back(std::move(file));
  return true;
}

/// The modules the options ask for, in registration order (standard output
/// first, then the files, opened here as temporary files beside their
/// targets). False with a message when one cannot be (exit code 4, as for
/// any unusable file named on the command line; a write that fails later is
/// exit code 6).
bool make_outputs(const OutputContext& context, Outputs& outputs, std::string& error);

/// Which module writes to standard output: --json, else decode's --csv, else
/// --watch on a terminal, else text.
enum class Screen { kText, kJson, kCsv, kWatch };
Screen screen_of(const OutputContext& context);

/// Text summary of the run: one meter's, or each meter's and the bus cycle.
void print_run_summary(std::FILE* out, const LineSummary& totals);

}  // namespace qxbench
