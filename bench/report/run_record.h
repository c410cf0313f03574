// What a commissioning report is made from: every round of every meter, as
// the polling run showed it or as its CSV kept it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "diagnosis/diagnosis.h"
#include "register_map.h"
#include "round_format.h"

namespace qxbench {

/// Alarm state of a round: the device made no report, or reported normal or alarm.
enum class AlarmState : signed char { kNone = -1, kNormal = 0, kAlarm = 1 };

struct RecordedRound {
  long round = 0;        ///< 0: the record restored from --cache
  std::string time;      ///< local start time, "YYYY-MM-DD HH:MM:SS"
  bool ok = false;       ///< a record was published
  std::string failure;   ///< empty, a failure kind, or "unpublished"
  double round_ms = -1;  ///< < 0: not known (a cached record, an older CSV)
  /// The rendered registers in register-map order; NaN when nothing was
  /// published. Single precision: the device renders single-precision quotients.
  std::array<float, qx7540pm::kRenderedRegisters> values{};
  AlarmState alarm = AlarmState::kNone;
  std::string alarm_text;  ///< the device's alarm description, when known
};

struct RecordedMeter {
  int slave = 1;
  std::vector<RecordedRound> rounds;          ///< in the order they were polled
  AlarmState last_alarm = AlarmState::kNone;  ///< of the last round with an alarm report
};

/// The run as a whole. Empty texts are facts the source did not record (a
/// CSV keeps no link settings and no plug-in).
struct RecordedRun {
  std::string source;  ///< "polled by ..." or the CSV file
  std::string link;
  std::string polling;          ///< interval and timeout
  double wire_minimum_ms = -1;  ///< < 0: none known (TCP, or not recorded)
  std::string wire_note;        ///< why the rounds may beat the wire minimum
  std::string plugin_path;
  std::string plugin_version;
  std::string plugin_build_id;
  std::string started;
  std::string ended;
  bool interrupted = false;
  DiagnosisBasis basis;         ///< what the supply is judged against
  bool basis_recorded = false;  ///< false: a CSV from before the diagnosis, judged by the defaults
  std::vector<RecordedMeter> meters;

  /// The meter with this slave id, added at the end when new.
  RecordedMeter& meter(int slave);
};

/// The round's register values, as plausibility_warnings reads them.
Readings readings_of(const RecordedRound& round);

/// Adds a round to a meter's rounds, keeping the alarm text only where the
/// state changes: that is all a report shows of it.
void add_round(RecordedMeter& meter, RecordedRound round);

}  // namespace qxbench
