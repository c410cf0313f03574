// The verdict on one meter of a run: did every round publish, were the values
// within the ranges a healthy installation stays in, what did the alarm do,
// and how long did the rounds take.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "run_record.h"

namespace qxbench {

/// The alarm going on or off, or its state in the first report.
struct AlarmChange {
  long round = 0;
  std::string time;
  bool raised = false;
  std::string text;  ///< the device's description, when the source kept it
};

/// One implausible quantity over the run.
struct ImplausibleValue {
  std::string key;  ///< the snapshot key
  long rounds = 0;
  long first_round = 0;
  std::string first_warning;
};

struct MeterVerdict {
  int slave = 1;
  long rounds = 0;  ///< polled rounds (the cache's record is not one)
  long published = 0;
  bool cache = false;                                  ///< a cached record was restored first
  std::vector<std::pair<std::string, long>> failures;  ///< kind and count, first seen first
  long implausible_rounds = 0;
  std::vector<ImplausibleValue> implausible;
  long alarm_reports = 0;
  long alarm_rounds = 0;  ///< reports in the alarm state
  std::vector<AlarmChange> alarm_changes;
  AlarmState final_alarm = AlarmState::kNone;
  long timed_good = 0;  ///< good polled rounds with a known time
  double mean_good_ms = -1;
  double min_good_ms = -1;
  double median_good_ms = -1;
  double p95_good_ms = -1;
  double max_good_ms = -1;
  bool diagnosis_clear = true;  ///< no wiring or supply check needs attention

  bool all_published() const { return rounds > 0 && published == rounds; }
  bool plausible() const { return implausible_rounds == 0; }
  bool alarm_clear() const { return alarm_rounds == 0; }
  bool passed() const { return all_published() && plausible() && alarm_clear() && diagnosis_clear; }
};

MeterVerdict judge_meter(const RecordedMeter& meter);

}  // namespace qxbench
