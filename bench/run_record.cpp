#include "run_record.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

namespace qxbench {
namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

double nan() { return std::nan(""); }

/// The next record of RFC 4180 text from pos: fields may be quoted and then
/// hold commas, doubled quotes and line breaks. False at the end of the text.
bool next_record(const std::string& text, std::size_t& pos, std::vector<std::string>& fields) {
  fields.clear();
  if (pos >= text.size()) return false;
  std::string field;
  bool quoted = false;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (pos + 1 < text.size() && text[pos + 1] == '"') {
        field += '"';
        ++pos;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
      ++pos;
      break;
    } else {
      field += c;
    }
  }
  fields.push_back(std::move(field));
  return true;
}

double number_of(const std::string& field) {
  if (field.empty()) return nan();
  char* end = nullptr;
  const double value = std::strtod(field.c_str(), &end);
  return end != nullptr && *end == '\0' ? value : nan();
}

AlarmState alarm_of(const std::string& field) {
  if (field == "alarm") return AlarmState::kAlarm;
  if (field == "normal") return AlarmState::kNormal;
  return AlarmState::kNone;
}

/// Keeps the alarm text only where the state changes: that is all a report shows of it.
void add_round(RecordedMeter& meter, RecordedRound round) {
  if (round.alarm != AlarmState::kNone) {
    for (auto it = meter.rounds.rbegin(); it != meter.rounds.rend(); ++it) {
      if (it->alarm == AlarmState::kNone) continue;
      if (it->alarm == round.alarm) round.alarm_text.clear();
      break;
    }
  }
  meter.rounds.push_back(std::move(round));
}

}  // namespace

RecordedMeter& RecordedRun::meter(int slave) {
  for (RecordedMeter& m : meters) {
    if (m.slave == slave) return m;
  }
  RecordedMeter& added = meters.emplace_back();
  added.slave = slave;
  return added;
}

std::size_t value_index(int reg) {
  for (std::size_t i = 0; i < qx7540pm::kRenderedRegisters; ++i) {
    if (qx7540pm::kRegisterMap[i].reg == reg) return i;
  }
  return 0;
}

Json::Value snapshot_of(const RecordedRound& round) {
  Json::Value snapshot(Json::objectValue);
  for (std::size_t i = 0; i < qx7540pm::kRenderedRegisters; ++i) {
    if (!std::isnan(round.values[i])) snapshot[qx7540pm::kRegisterMap[i].key] = round.values[i];
  }
  return snapshot;
}

void record_round(RecordedRun& run, const RoundReport& report) {
  RecordedRound round;
  round.round = report.round;
  round.time = report.time;
  round.ok = report.ok;
  if (!report.ok) {
    round.failure = report.failed ? zelfw::failure_name(report.failure.kind) : "unpublished";
  }
  // To the microsecond, as the CSV keeps it: a report of the CSV is this one's.
  round.round_ms = report.round == 0 ? -1 : std::round(report.round_ms * 1000) / 1000;
  for (std::size_t i = 0; i < qx7540pm::kRenderedRegisters; ++i) {
    const Json::Value& v = report.ok && report.snapshot.isObject()
                               ? report.snapshot[qx7540pm::kRegisterMap[i].key]
                               : Json::Value::nullSingleton();
    round.values[i] = v.isNumeric() ? v.asDouble() : nan();
  }
  if (report.alarm_reported) {
    round.alarm = report.alarm.state ? AlarmState::kAlarm : AlarmState::kNormal;
    round.alarm_text = report.alarm.text;
  }
  add_round(run.meter(report.slave), std::move(round));
}

bool read_run_csv(const std::string& path, RecordedRun& run, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read CSV file " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::size_t pos = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  std::vector<std::string> fields;
  if (!next_record(text, pos, fields)) {
    error = path + ": empty file, not the CSV of a polling run (--csv)";
    return false;
  }
  std::map<std::string, std::size_t> column;
  for (std::size_t i = 0; i < fields.size(); ++i) column.emplace(fields[i], i);
  for (const char* required : {"time", "status"}) {
    if (column.count(required) == 0) {
      error = path + ": no column \"" + required + "\", not the CSV of a polling run (--csv)";
      return false;
    }
  }
  const std::size_t width = fields.size();
  const auto field = [&column, &fields](const char* name) -> std::string {
    const auto it = column.find(name);
    return it == column.end() ? std::string() : fields[it->second];
  };
  std::vector<std::size_t> value_columns;
  for (const qx7540pm::RegisterEntry& entry : qx7540pm::kRegisterMap) {
    const auto it = column.find(entry.key);
    value_columns.push_back(it == column.end() ? width : it->second);
  }
  run.source = "CSV file " + path;
  std::map<int, long> rounds_seen;
  for (long line = 2; next_record(text, pos, fields); ++line) {
    if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
    if (fields.size() != width) {
      error = path + ": line " + std::to_string(line) + " has " + std::to_string(fields.size()) +
              " fields, the header " + std::to_string(width);
      return false;
    }
    const std::string slave_text = field("slave");
    const int slave = slave_text.empty() ? 1 : std::atoi(slave_text.c_str());
    RecordedRound round;
    const std::string round_text = field("round");
    round.round = round_text.empty() ? ++rounds_seen[slave] : std::atol(round_text.c_str());
    round.time = field("time");
    round.ok = field("status") == "ok";
    round.failure = round.ok ? std::string() : field("failure");
    const double ms = number_of(field("round_ms"));
    round.round_ms = std::isnan(ms) ? -1 : ms;
    for (std::size_t i = 0; i < value_columns.size(); ++i) {
      round.values[i] = value_columns[i] < width ? number_of(fields[value_columns[i]]) : nan();
    }
    round.alarm = alarm_of(field("alarm"));
    add_round(run.meter(slave), std::move(round));
    if (run.started.empty()) run.started = field("time");
    run.ended = field("time");
  }
  return true;
}

}  // namespace qxbench
