// The CSV of a polling run (--csv), written and read in this one place: its
// columns, a round as a row, and a row back as a recorded round. The live
// report (--report) takes each round through the same row, so the report of
// a run and the report of its CSV cannot disagree.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "round_format.h"
#include "run_record.h"

namespace qxbench {

/// time, slave, status, failure, the 37 snapshot keys, alarm, round, round_ms,
/// then the diagnosis's: the two unbalance figures and what it judged against.
std::vector<std::string> run_csv_columns();

/// The round as a row: time, slave, outcome, the 37 values, alarm state,
/// then the round number and its time (empty for the cached record). A round
/// that published nothing leaves the values empty: 801 would still show the
/// last record's.
std::vector<std::string> run_csv_row(const RoundResult& report);

/// Numbers a row may hold for the report: beyond them a value is no meter's
/// reading and no chart could draw it.
constexpr double kLargestReading = 1e9;
constexpr double kLongestRoundMs = 3.6e6;
/// Slave and unit ids: Modbus addresses one byte.
constexpr int kLargestSlaveId = 255;

/// Where a CSV's columns are, found by name in its header (so the round and
/// round_ms columns of older CSVs are optional).
class RunCsvLayout {
 public:
  /// False with a message when a required column is missing.
  bool read_header(const std::vector<std::string>& header, std::string& error);
  /// One row as a round of a slave; false with the reason (the caller adds
  /// the file and line) when a field is unusable.
  bool read_row(const std::vector<std::string>& fields, int& slave, RecordedRound& round,
                std::string& error) const;
  std::size_t width() const { return width_; }
  /// The diagnosis's nominal values of a row; false when the CSV has none or
  /// they are no such values.
  bool read_basis(const std::vector<std::string>& fields, DiagnosisBasis& basis) const;

 private:
  static constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
  std::size_t width_ = 0;
  std::size_t time_ = kMissing, slave_ = kMissing, status_ = kMissing, failure_ = kMissing,
              alarm_ = kMissing, round_ = kMissing, round_ms_ = kMissing;
  std::size_t nominal_voltage_ = kMissing, nominal_frequency_ = kMissing,
              frequency_limit_ = kMissing;
  std::array<std::size_t, qx7540pm::kRenderedRegisters> values_{};
};

/// The largest CSV the report reads: about three million rounds.
constexpr unsigned long long kMaxRunCsvBytes = 2ULL << 30;

/// Reads the CSV of a polling run; false with a message when the file
/// cannot be read or is not such a CSV.
bool read_run_csv(const std::string& path, RecordedRun& run, std::string& error);

/// Adds a round the bench showed, through its CSV row.
void record_round(RecordedRun& run, const RoundResult& report);

}  // namespace qxbench
