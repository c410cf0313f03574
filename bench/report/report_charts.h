// The data behind a report's charts, one meter at a time: the quantities
// over the rounds, the failures by kind, the alarm's changes and the
// round-time histogram, reduced so that a day of rounds still draws quickly.
#pragma once

#include <cstddef>
#include <vector>

#include <json/value.h>

#include "report_verdict.h"
#include "run_record.h"

namespace qxbench {

/// Points per series at most. A longer run is cut into half as many buckets
/// of consecutive rounds, each drawn by its lowest and highest value, so a
/// one-round dip still shows; the CSV keeps every round.
constexpr std::size_t kMaxChartPoints = 2000;
/// Failure kinds charted at most, the first seen first (the text names them all).
constexpr std::size_t kMaxFailureKinds = 24;
/// Alarm changes marked on the voltage chart at most (the text lists the first ones).
constexpr std::size_t kMaxAlarmMarks = 500;

/// {"slave", "first_round", "last_round", "clock", "charts", "failures",
/// "alarm_marks", "histogram"}; the page draws each chart from it.
Json::Value meter_chart_data(const RecordedMeter& meter, const MeterVerdict& verdict,
                             double wire_minimum_ms);

/// [round, value, ...] of one value per round of the meter (NaN: a gap),
/// in buckets as every chart's series.
Json::Value round_series(const RecordedMeter& meter, const std::vector<double>& values);

/// Seconds since 1970 of a "YYYY-MM-DD HH:MM:SS" local time, read as if it
/// were UTC (the page shows it back the same way); -1 when it is no such text.
long long clock_seconds(const std::string& time);

}  // namespace qxbench
