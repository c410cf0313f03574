// What the scan shows: the progress on standard error, each responder with
// its verdict and, for a meter, the command line that polls it, and the
// summary; as text or as one JSON object per line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <json/value.h>

#include "qxsim/options.h"
#include "report.h"
#include "scan.h"
#include "zelfw/modbus_link.h"

namespace qxbench {

/// How an id answered the device's first read.
enum class Answer { kNone, kReply, kException, kGarbled };

struct Probe {
  Answer answer = Answer::kNone;
  zelfw::LinkFailure failure;  ///< the first read's failure, or the second's after a reply
  bool second_failed = false;  ///< the first read answered, the second did not
  bool published = false;      ///< the device published a record
  Json::Value snapshot;        ///< the 801 object of that record
  std::vector<qxcore::Message> warnings;
  bool meter = false;              ///< looks like this meter
  std::vector<TracedFrame> trace;  ///< --trace: the probe's frames
};

struct ScanSummary {
  long settings = 0;
  long settings_tried = 0;
  long probes = 0;
  long responders = 0;
  long meters = 0;
  long garbled = 0;  ///< answers that were not frames of this id (bad CRC, wrong id, short)
  double elapsed_s = 0;
  bool interrupted = false;
};

/// The polling command for a meter found: the bench itself, the plug-in when
/// named, the port or gateway or the built-in simulator's switches.
struct CommandLine {
  std::string bench;
  std::string plugin;
  std::string port;
  std::string tcp;
  const qxsim::SimOptions* sim = nullptr;  ///< the built-in simulator's switches
  std::string poll(int slave, const LineSetting& setting) const;
};

class ScanReporter {
 public:
  ScanReporter(std::FILE* out, bool json, bool terminal, std::size_t settings, std::size_t ids);
  void begin_setting(const std::string& line);
  /// One id probed; elapsed_s since the scan began.
  void advance(double elapsed_s);
  /// setting: null for TCP. command: empty unless the responder is a meter.
  void show_responder(int slave, const std::string& line, const LineSetting* setting,
                      const Probe& probe, const std::string& command);
  /// Clears the progress bar; idempotent.
  void end_progress();
  void show_summary(const ScanSummary& summary);
  /// --trace in the text output: every probe's frames, as they happen.
  void show_trace(int slave, const std::vector<TracedFrame>& frames);

 private:
  void draw(double elapsed_s);

  std::FILE* out_;
  const bool json_;
  const bool terminal_;
  const std::size_t settings_;
  const std::size_t ids_;
  std::size_t setting_ = 0;  ///< settings begun
  std::size_t done_ = 0;     ///< probes done in all
  std::size_t in_setting_ = 0;
  std::string line_;
  bool drawn_ = false;
};

}  // namespace qxbench
