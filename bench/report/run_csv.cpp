#include "run_csv.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

#include "csv.h"
#include "qxcore/input_file.h"
#include "zelfw/modbus_link.h"

namespace qxbench {
namespace {

constexpr char kStatusOk[] = "ok";
constexpr char kStatusFailed[] = "failed";
constexpr char kAlarm[] = "alarm";
constexpr char kNormal[] = "normal";

double nan() { return std::nan(""); }

/// A number field: NaN when empty; false when it is not a number or beyond `largest`.
bool number_of(const std::string& field, double largest, double& value) {
  value = nan();
  if (field.empty()) return true;
  double v = 0;
  const char* end = field.data() + field.size();
  const auto [stop, failure] = std::from_chars(field.data(), end, v);
  if (failure != std::errc() || stop != end || !std::isfinite(v) || std::fabs(v) > largest) {
    return false;
  }
  value = v;
  return true;
}

bool whole_number(const std::string& field, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(field.c_str(), &end, 10);
  if (field.empty() || *end != '\0' || errno != 0 || v < low || v > high) return false;
  value = v;
  return true;
}

AlarmState alarm_of(const std::string& field) {
  if (field == kAlarm) return AlarmState::kAlarm;
  if (field == kNormal) return AlarmState::kNormal;
  return AlarmState::kNone;
}

/// RFC 4180 records from a file, read in blocks: fields may be quoted and
/// then hold commas, doubled quotes and line breaks.
class CsvRecords {
 public:
  explicit CsvRecords(int fd) : fd_(fd) {}
  /// The next record; false at the end of the file or on a read error (see failed()).
  bool next(std::vector<std::string>& fields) {
    int c = get();
    if (c < 0) {
      fields.clear();
      return false;
    }
    // The strings of the last record are reused: no allocation per field.
    std::size_t count = 0;
    const auto field = [&fields, &count]() -> std::string& {
      if (count == fields.size()) fields.emplace_back();
      return fields[count];
    };
    field().clear();
    bool quoted = false;
    for (; c >= 0; c = get()) {
      if (quoted) {
        if (c != '"') {
          field() += static_cast<char>(c);
        } else if (peek() == '"') {
          field() += '"';
          get();
        } else {
          quoted = false;
        }
      } else if (c == '"') {
        quoted = true;
      } else if (c == ',') {
        ++count;
        field().clear();
      } else if (c == '\n' || c == '\r') {
        if (c == '\r' && peek() == '\n') get();
        break;
      } else {
        field() += static_cast<char>(c);
      }
    }
    fields.resize(count + 1);
    return true;
  }
  bool failed() const { return failed_; }
  /// Skips a byte-order mark at the start.
  void skip_byte_order_mark() {
    fill();
    constexpr std::size_t kMarkSize = sizeof qxcore::kByteOrderMark - 1;
    if (end_ >= kMarkSize && std::memcmp(buffer_, qxcore::kByteOrderMark, kMarkSize) == 0) {
      pos_ = kMarkSize;
    }
  }

 private:
  bool fill() {
    if (pos_ < end_) return true;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed_ = true;
      pos_ = 0;
      end_ = n > 0 ? static_cast<std::size_t>(n) : 0;
      return n > 0;
    }
  }
  int get() { return fill() ? static_cast<unsigned char>(buffer_[pos_++]) : -1; }
  int peek() { return fill() ? static_cast<unsigned char>(buffer_[pos_]) : -1; }

  int fd_;
  char buffer_[1 << 16];
  std::size_t pos_ = 0, end_ = 0;
  bool failed_ = false;
};

}  // namespace

std::vector<std::string> run_csv_columns() {
  std::vector<std::string> columns = {"time", "slave", "status", "failure"};
  for (std::string& key : snapshot_keys()) columns.push_back(std::move(key));
  columns.insert(columns.end(), {"alarm", "round", "round_ms"});
  columns.insert(columns.end(), {"voltage_unbalance_percent", "current_unbalance_percent",
                                 "nominal_voltage", "nominal_frequency", "frequency_limit"});
  return columns;
}

std::vector<std::string> run_csv_row(const RoundResult& r) {
  std::vector<std::string> fields = {r.time, std::to_string(r.slave),
                                     r.ok ? kStatusOk : kStatusFailed};
  fields.push_back(r.ok ? "" : outcome_name(r));
  for (std::string& value : snapshot_fields(r.ok ? r.snapshot : Json::Value())) {
    fields.push_back(std::move(value));
  }
  fields.push_back(!r.alarm_reported ? "" : r.alarm.state ? kAlarm : kNormal);
  fields.push_back(std::to_string(r.round));
  char ms[32] = "";
  if (r.round != 0) std::snprintf(ms, sizeof ms, "%.3f", r.round_ms);
  fields.push_back(ms);
  const auto figure = [](double value) {
    return std::isfinite(value) ? qxcore::format("%.6g", value) : std::string();
  };
  const RoundDiagnosis& d = r.diagnosis;
  fields.push_back(r.ok ? figure(d.voltage_unbalance) : "");
  fields.push_back(r.ok ? figure(d.current_unbalance) : "");
  fields.push_back(figure(d.basis.nominal_voltage));
  fields.push_back(figure(d.basis.nominal_frequency));
  fields.push_back(figure(d.basis.frequency_limit));
  return fields;
}

bool RunCsvLayout::read_header(const std::vector<std::string>& header, std::string& error) {
  std::map<std::string, std::size_t> column;
  for (std::size_t i = 0; i < header.size(); ++i) column.emplace(header[i], i);
  const auto at = [&column](const std::string& name) {
    const auto it = column.find(name);
    return it == column.end() ? kMissing : it->second;
  };
  width_ = header.size();
  time_ = at("time");
  slave_ = at("slave");
  status_ = at("status");
  failure_ = at("failure");
  alarm_ = at("alarm");
  round_ = at("round");
  round_ms_ = at("round_ms");
  nominal_voltage_ = at("nominal_voltage");
  nominal_frequency_ = at("nominal_frequency");
  frequency_limit_ = at("frequency_limit");
  for (std::size_t i = 0; i < values_.size(); ++i) values_[i] = at(qx7540pm::kRegisterMap[i].key);
  for (const auto& [name, index] :
       {std::make_pair("time", time_), std::make_pair("status", status_)}) {
    if (index == kMissing) {
      error = qxcore::format(_("no column \"%s\", not the CSV of a polling run (--csv)"), name);
      return false;
    }
  }
  return true;
}

bool RunCsvLayout::read_row(const std::vector<std::string>& fields, int& slave,
                            RecordedRound& round, std::string& error) const {
  if (fields.size() != width_) {
    error = qxcore::format(_("has %zu fields, the header %zu"), fields.size(),
                           static_cast<std::size_t>(width_));
    return false;
  }
  const auto field = [&fields](std::size_t index) {
    return index == kMissing ? std::string() : fields[index];
  };
  long id = 1;
  if (!field(slave_).empty() && !whole_number(field(slave_), 0, kLargestSlaveId, id)) {
    error = qxcore::format(_("slave \"%s\" is not a Modbus id (0 to 255)"), field(slave_).c_str());
    return false;
  }
  slave = static_cast<int>(id);
  round.round = -1;
  if (!field(round_).empty() &&
      !whole_number(field(round_), 0, std::numeric_limits<long>::max(), round.round)) {
    error = qxcore::format(_("round \"%s\" is not a round number"), field(round_).c_str());
    return false;
  }
  round.time = field(time_);
  round.ok = field(status_) == kStatusOk;
  round.failure = round.ok ? std::string() : field(failure_);
  double ms = nan();
  if (!number_of(field(round_ms_), kLongestRoundMs, ms) || ms < 0) {
    error = qxcore::format(_("round_ms \"%s\" is not a round's time"), field(round_ms_).c_str());
    return false;
  }
  round.round_ms = std::isnan(ms) ? -1 : ms;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    double v = nan();
    if (!number_of(field(values_[i]), kLargestReading, v)) {
      error = qxcore::format(_("%s \"%s\" is not a meter reading (a number within 1e9)"),
                             qx7540pm::kRegisterMap[i].key, field(values_[i]).c_str());
      return false;
    }
    round.values[i] = static_cast<float>(v);
  }
  round.alarm = alarm_of(field(alarm_));
  return true;
}

bool RunCsvLayout::read_basis(const std::vector<std::string>& fields, DiagnosisBasis& basis) const {
  if (nominal_voltage_ == kMissing || nominal_frequency_ == kMissing ||
      frequency_limit_ == kMissing || fields.size() != width_) {
    return false;
  }
  double volts = nan(), hertz = nan(), limit = nan();
  if (!number_of(fields[nominal_voltage_], kLargestReading, volts) ||
      !number_of(fields[nominal_frequency_], kLargestReading, hertz) ||
      !number_of(fields[frequency_limit_], kLargestReading, limit) || !(volts >= kLowestNominal) ||
      volts > kHighestNominalVoltage || !(hertz >= kLowestNominal) ||
      hertz > kHighestNominalFrequency || !(limit > 0) || limit > hertz) {
    return false;
  }
  basis = {volts, hertz, limit};
  return true;
}

bool read_run_csv(const std::string& path, RecordedRun& run, std::string& error) {
  std::size_t size = 0;
  const int fd =
      qxcore::open_input_file(path, C_("file kind", "CSV file"), kMaxRunCsvBytes, size, error);
  if (fd < 0) return false;
  CsvRecords records(fd);
  records.skip_byte_order_mark();
  std::vector<std::string> fields;
  RunCsvLayout layout;
  std::string reason;
  bool ok = true;
  if (!records.next(fields)) {
    error = qxcore::format(_("%s: empty file, not the CSV of a polling run (--csv)"), path.c_str());
    ok = false;
  } else if (!layout.read_header(fields, reason)) {
    error = qxcore::format(_("%s: %s"), path.c_str(), reason.c_str());
    ok = false;
  }
  run.source = qxcore::format(_("CSV file %s"), path.c_str());
  std::map<int, long> rounds_seen;
  for (long line = 2; ok && records.next(fields); ++line) {
    if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
    int slave = 1;
    RecordedRound round;
    if (!layout.read_row(fields, slave, round, reason)) {
      error = qxcore::format(_("%s: line %ld %s"), path.c_str(), line, reason.c_str());
      ok = false;
      break;
    }
    if (round.round < 0) round.round = ++rounds_seen[slave];
    if (!run.basis_recorded) run.basis_recorded = layout.read_basis(fields, run.basis);
    if (run.started.empty()) run.started = round.time;
    run.ended = round.time;
    add_round(run.meter(slave), std::move(round));
  }
  if (ok && records.failed()) {
    error = qxcore::format(_("cannot read CSV file %s: %s"), path.c_str(), std::strerror(errno));
    ok = false;
  }
  ::close(fd);
  return ok;
}

void record_round(RecordedRun& run, const RoundResult& report) {
  static const RunCsvLayout layout = [] {
    RunCsvLayout l;
    std::string unused;
    l.read_header(run_csv_columns(), unused);
    return l;
  }();
  int slave = 1;
  RecordedRound round;
  std::string unused;
  if (!layout.read_row(run_csv_row(report), slave, round, unused)) return;
  // The one thing the CSV does not keep: what the device said of its alarm.
  if (report.alarm_reported) round.alarm_text = report.alarm.text;
  run.basis = report.diagnosis.basis;
  run.basis_recorded = true;
  add_round(run.meter(slave), std::move(round));
}

}  // namespace qxbench
