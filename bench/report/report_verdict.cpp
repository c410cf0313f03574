#include "report_verdict.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace qxbench {
namespace {

/// The quantity a plausibility warning names: "相电压Ua = 0.000 V is outside ...".
std::string key_of_warning(const std::string& warning) {
  return warning.substr(0, warning.find(" = "));
}

/// Counts a failure of this kind; kinds indexes verdict.failures by kind.
void count_failure(MeterVerdict& verdict, std::unordered_map<std::string, std::size_t>& kinds,
                   const std::string& kind) {
  const auto [it, added] = kinds.emplace(kind, verdict.failures.size());
  if (added) verdict.failures.emplace_back(kind, 0);
  ++verdict.failures[it->second].second;
}

void judge_values(MeterVerdict& verdict, const RecordedRound& round) {
  const std::vector<qxcore::Message> warnings = plausibility_warnings(readings_of(round));
  if (warnings.empty()) return;
  ++verdict.implausible_rounds;
  for (const qxcore::Message& message : warnings) {
    const std::string warning = message.translated();
    const std::string key = key_of_warning(warning);
    auto it = std::find_if(verdict.implausible.begin(), verdict.implausible.end(),
                           [&key](const ImplausibleValue& v) { return v.key == key; });
    if (it == verdict.implausible.end()) {
      verdict.implausible.push_back({key, 0, round.round, warning});
      it = std::prev(verdict.implausible.end());
    }
    ++it->rounds;
  }
}

void judge_round_times(MeterVerdict& verdict, std::vector<double> times) {
  verdict.timed_good = static_cast<long>(times.size());
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  verdict.mean_good_ms =
      std::accumulate(times.begin(), times.end(), 0.0) / static_cast<double>(times.size());
  verdict.min_good_ms = times.front();
  verdict.max_good_ms = times.back();
  const auto at = [&times](double fraction) {
    return times[static_cast<std::size_t>(
        std::lround(fraction * static_cast<double>(times.size() - 1)))];
  };
  verdict.median_good_ms = at(0.5);
  verdict.p95_good_ms = at(0.95);
}

}  // namespace

MeterVerdict judge_meter(const RecordedMeter& meter) {
  MeterVerdict verdict;
  verdict.slave = meter.slave;
  std::vector<double> good_times;
  std::unordered_map<std::string, std::size_t> kinds;
  for (const RecordedRound& round : meter.rounds) {
    if (round.alarm != AlarmState::kNone) {
      ++verdict.alarm_reports;
      const bool raised = round.alarm == AlarmState::kAlarm;
      if (raised) ++verdict.alarm_rounds;
      // A change, or the first report when it is an alarm.
      const bool was_raised = verdict.final_alarm == AlarmState::kAlarm;
      if (raised != was_raised) {
        verdict.alarm_changes.push_back({round.round, round.time, raised, round.alarm_text});
      }
      verdict.final_alarm = round.alarm;
    }
    if (round.ok) judge_values(verdict, round);
    if (round.round == 0) {
      verdict.cache = true;
      continue;
    }
    ++verdict.rounds;
    if (round.ok) {
      ++verdict.published;
      if (round.round_ms >= 0) good_times.push_back(round.round_ms);
    } else {
      count_failure(verdict, kinds, round.failure.empty() ? "unknown" : round.failure);
    }
  }
  judge_round_times(verdict, std::move(good_times));
  return verdict;
}

}  // namespace qxbench
