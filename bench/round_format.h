// How the bench puts a round and a run into words: aligned text for people,
// one JSON object per line for programs, and the checks of the values it shows.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include <json/value.h>

#include "diagnosis/diagnosis.h"
#include "qxcore/message.h"
#include "zelfw/modbus_link.h"

namespace qxbench {

/// One CheckThresholdBool report: the device's alarm condition after a round.
struct AlarmReport {
  std::string id;
  std::string code;
  std::string name;
  std::string text;
  bool state = false;
};

/// One frame of the round on the wire, for --trace.
struct TracedFrame {
  double seconds = 0;  ///< monotonic, since the run began
  bool sent = true;    ///< false: received
  std::vector<unsigned char> bytes;
  std::string failure;  ///< received frames of a failed exchange: the failure kind
};

struct RoundResult {
  long round = 0;        ///< 0: the record restored from --cache
  int slave = 1;         ///< the meter's slave id
  bool several = false;  ///< one of several meters on the line: lines name the slave
  std::string time;      ///< local time the round started, ISO 8601
  double round_ms = 0;   ///< RefreshStatus until the round's outcome
  bool ok = false;       ///< the device published a record
  bool failed = false;   ///< the link reported a failed exchange
  zelfw::LinkFailure failure;
  std::vector<unsigned char> record;  ///< the published bytes (empty: none)
  /// The records the device stored as history this round (SaveDeviceHistory).
  std::vector<std::vector<unsigned char>> stored;
  Json::Value snapshot;            ///< the 801 answer, parsed
  bool snapshot_repeated = false;  ///< same time stamp as the last round's snapshot
  bool alarm_reported = false;
  AlarmReport alarm;
  std::string query;  ///< the value query's message
  std::vector<std::string> device_lines;
  std::vector<qxcore::Message> warnings;  ///< English in --json, the run's language for people
  RoundDiagnosis diagnosis;               ///< wiring and supply quality, from the snapshot
  bool traced = false;                    ///< --trace: the frames below are shown
  std::vector<TracedFrame> trace;
};

struct Summary {
  long rounds = 0;
  long ok = 0;
  std::array<long, static_cast<std::size_t>(zelfw::Failure::kCount)> failures{};
  long unpublished = 0;  ///< rounds with neither a record nor a link failure
  double total_ms = 0;   ///< over successful polled rounds
  long timed_rounds = 0;
  double wire_minimum_ms = -1;  ///< < 0: none for this link (TCP)
  qxcore::Message link;         ///< English in --json and the CSV, the run's language for people
  std::string wire_note;
  bool interrupted = false;
};

/// Several meters on one line: one summary each, and the bus cycle (every
/// meter polled once) beside its wire minimum.
struct LineSummary {
  std::vector<int> slaves;
  std::vector<Summary> meters;  ///< in the order of slaves
  long cycles = 0;              ///< cycles timed (every meter polled)
  double total_cycle_ms = 0;
  double cycle_wire_minimum_ms = -1;  ///< < 0: none for this link (TCP)
};

/// The rendered registers' values in register-map order, NaN where none.
using Readings = std::array<double, 36>;

/// Values a healthy installation does not produce: voltages or frequency out
/// of range, a power factor above 1.
std::vector<qxcore::Message> plausibility_warnings(const Json::Value& snapshot);
std::vector<qxcore::Message> plausibility_warnings(const Readings& readings);

/// Explains an alarm raised on a healthy voltage: the device's alarm check
/// divides the phase voltage registers by 100 where the snapshot divides by
/// 10. Reads this round's published record; monitored: has_a, has_b, has_c.
std::vector<qxcore::Message> alarm_scale_warnings(const std::vector<unsigned char>& record,
                                                  const AlarmReport& alarm,
                                                  const std::array<bool, 3>& monitored);

/// Why an exchange failed, for people, in the run's language: a Modbus
/// exception with its code and standard name, a timeout with the link's
/// response time, a CRC or slave mismatch in words (--json keeps libmodbus's
/// text in "detail").
std::string failure_reason(const zelfw::LinkFailure& failure);

/// The round's outcome in one word: "ok", the link failure's kind, or
/// "unpublished" (no record and no link failure). The CSV's status and
/// failure columns, the live screen and the report use it.
const char* outcome_name(const RoundResult& report);

/// A label padded with spaces to width: every text table aligns its columns here.
std::string padded(const std::string& label, std::size_t width);
/// "  label             text": one labelled line of a round's text.
void print_labelled(FILE* out, const std::string& label, const std::string& text);

/// The snapshot's 37 values as the per-phase table with units.
void print_snapshot_values(FILE* out, const Json::Value& snapshot);
void print_round(FILE* out, const RoundResult& report);
void print_summary(FILE* out, const Summary& summary);
std::string round_json(const RoundResult& report);
std::string summary_json(const Summary& summary);
void print_line_summary(FILE* out, const LineSummary& summary);
std::string line_summary_json(const LineSummary& summary);
/// A frame of the link as --trace shows it, its time since `began`.
TracedFrame traced_frame(const zelfw::Frame& frame, std::chrono::steady_clock::time_point began);
/// "tx      0.012345 s  01 03 ..." with the received length and failure kind.
std::string frame_text(const TracedFrame& frame);
Json::Value frame_json(const TracedFrame& frame);

/// One line of JSON text, UTF-8 as it is.
std::string compact_json(const Json::Value& value);

}  // namespace qxbench
