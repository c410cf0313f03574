// What a commissioning report is made from: every round of every meter, as
// the polling run showed it or as its CSV kept it.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "register_map.h"
#include "report.h"

namespace qxbench {

/// Alarm state of a round: the device made no report, or reported normal or alarm.
enum class AlarmState : signed char { kNone = -1, kNormal = 0, kAlarm = 1 };

struct RecordedRound {
  long round = 0;        ///< 0: the record restored from --cache
  std::string time;      ///< local start time, "YYYY-MM-DD HH:MM:SS"
  bool ok = false;       ///< a record was published
  std::string failure;   ///< empty, a failure kind, or "unpublished"
  double round_ms = -1;  ///< < 0: not known (a cached record, an older CSV)
  /// The rendered registers in register-map order; NaN when nothing was published.
  std::array<double, qx7540pm::kRenderedRegisters> values{};
  AlarmState alarm = AlarmState::kNone;
  std::string alarm_text;  ///< the device's alarm description, when known
};

struct RecordedMeter {
  int slave = 1;
  std::vector<RecordedRound> rounds;  ///< in the order they were polled
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
  std::vector<RecordedMeter> meters;

  /// The meter with this slave id, added at the end when new.
  RecordedMeter& meter(int slave);
};

/// The round's register values by snapshot key, as plausibility_warnings reads them.
Json::Value snapshot_of(const RecordedRound& round);

/// Index in RecordedRound::values of a rendered register.
std::size_t value_index(int reg);

/// Adds a round the bench showed.
void record_round(RecordedRun& run, const RoundReport& report);

/// Reads the CSV of a polling run (--csv); false with a message when the file
/// cannot be read or is not such a CSV. Columns are found by name, so the
/// round and round_ms columns of newer CSVs are optional.
bool read_run_csv(const std::string& path, RecordedRun& run, std::string& error);

}  // namespace qxbench
