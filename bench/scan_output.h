// What the scan finds: how each id answered, the verdict on it and, for a
// meter, the command line that polls it, and the summary. The output modules
// show them (output/output.h).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <json/value.h>

#include "qxsim/options.h"
#include "round_format.h"
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

/// "reply", "exception", "garbled" or "none", as --json names an answer.
const char* answer_name(Answer answer);
/// The verdict on a responder: in English for --json, in the run's language `for_people`.
std::string verdict_of(const Probe& probe, bool for_people);
/// "3m 20s", "12s": the time a scan has left.
std::string duration_text(double seconds);

}  // namespace qxbench
