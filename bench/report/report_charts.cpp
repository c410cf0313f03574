#include "report_charts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "register_map.h"

namespace qxbench {
namespace {

constexpr std::size_t kClockSamples = 500;
constexpr int kHistogramBins = 40;
constexpr double kSmallestBinMs = 0.01;

using qx7540pm::PhaseGroup;
using qx7540pm::QuantityKind;

/// Which lines a chart of one kind draws.
enum class Lines { kPhases, kPhasesAndTotal, kWhole };

// A chart of quantities over the rounds: one kind over the phases (and the
// total), or the meter's energy counters; `increments` draws each counter's
// rise since the previous published round instead of the counter itself.
struct ChartLayout {
  const char* id;
  const char* title;
  const char* quantity;  ///< the value axis: "quantity/unit"
  const char* unit;
  QuantityKind kind;
  Lines lines;
  bool increments;
};

constexpr QuantityKind kEnergyCounters[] = {
    QuantityKind::kForwardActiveEnergy, QuantityKind::kReverseActiveEnergy,
    QuantityKind::kForwardReactiveEnergy, QuantityKind::kReverseReactiveEnergy};

constexpr ChartLayout kCharts[] = {
    {"phase_voltage", N_("Phase voltages"), NC_("chart axis", "voltage"), "V",
     QuantityKind::kPhaseVoltage, Lines::kPhases, false},
    {"line_voltage", N_("Line voltages"), NC_("chart axis", "voltage"), "V",
     QuantityKind::kLineVoltage, Lines::kPhases, false},
    {"current", N_("Currents"), NC_("chart axis", "current"), "A", QuantityKind::kCurrent,
     Lines::kPhases, false},
    {"active_power", N_("Active power"), NC_("chart axis", "active power"), "kW",
     QuantityKind::kActivePower, Lines::kPhasesAndTotal, false},
    {"power_factor", N_("Power factors"), NC_("chart axis", "power factor"), "",
     QuantityKind::kPowerFactor, Lines::kPhasesAndTotal, false},
    {"frequency", N_("Frequency"), NC_("chart axis", "frequency"), "Hz", QuantityKind::kFrequency,
     Lines::kWhole, false},
    // The kind stands for the four counters.
    {"energy", N_("Energy counters' increments per round"), NC_("chart axis", "energy"),
     "kWh, kvarh", QuantityKind::kForwardActiveEnergy, Lines::kWhole, true},
};

/// The register-map rows of a chart's lines, in drawing order.
std::vector<std::size_t> lines_of(const ChartLayout& layout) {
  std::vector<std::size_t> lines;
  if (layout.increments) {
    for (const QuantityKind kind : kEnergyCounters) {
      lines.push_back(static_cast<std::size_t>(qx7540pm::register_index(kind, PhaseGroup::kWhole)));
    }
    return lines;
  }
  if (layout.lines != Lines::kWhole) {
    for (const PhaseGroup phase : {PhaseGroup::kA, PhaseGroup::kB, PhaseGroup::kC}) {
      lines.push_back(static_cast<std::size_t>(qx7540pm::register_index(layout.kind, phase)));
    }
  }
  if (layout.lines != Lines::kPhases) {
    lines.push_back(
        static_cast<std::size_t>(qx7540pm::register_index(layout.kind, PhaseGroup::kWhole)));
  }
  return lines;
}

/// Consecutive rounds drawn as one: [begin, end) indexes of meter.rounds.
struct Bucket {
  std::size_t begin;
  std::size_t end;
};

std::vector<Bucket> buckets_of(std::size_t rounds) {
  std::vector<Bucket> buckets;
  if (rounds <= kMaxChartPoints) {
    for (std::size_t i = 0; i < rounds; ++i) buckets.push_back({i, i + 1});
    return buckets;
  }
  const std::size_t count = kMaxChartPoints / 2;
  for (std::size_t b = 0; b < count; ++b)
    buckets.push_back({b * rounds / count, (b + 1) * rounds / count});
  return buckets;
}

/// Chart numbers: seven significant digits are more than a pixel needs.
Json::Value plotted(double value) {
  if (std::isnan(value)) return Json::Value();
  char text[32];
  std::snprintf(text, sizeof text, "%.7g", value);
  return std::strtod(text, nullptr);
}

/// [round, value, round, value, ...], null for rounds that published
/// nothing; per bucket its lowest and highest value in the order they came.
Json::Value series_points(const RecordedMeter& meter, const std::vector<Bucket>& buckets,
                          const std::vector<double>& values) {
  Json::Value points(Json::arrayValue);
  const auto add = [&](std::size_t i) {
    points.append(static_cast<Json::Int64>(meter.rounds[i].round));
    points.append(plotted(values[i]));
  };
  for (const Bucket& b : buckets) {
    std::size_t low = b.end, high = b.end;
    for (std::size_t i = b.begin; i < b.end; ++i) {
      if (std::isnan(values[i])) continue;
      if (low == b.end || values[i] < values[low]) low = i;
      if (high == b.end || values[i] > values[high]) high = i;
    }
    if (low == b.end) {
      add(b.begin);  // nothing published in the bucket: a gap
    } else {
      add(std::min(low, high));
      if (low != high) add(std::max(low, high));
    }
  }
  return points;
}

Json::Value chart_of(const ChartLayout& layout, const RecordedMeter& meter,
                     const std::vector<Bucket>& buckets) {
  Json::Value chart(Json::objectValue);
  chart["id"] = layout.id;
  chart["title"] = _(layout.title);
  // The value axis as quantity/unit ("voltage/V"), the quantity alone without a unit.
  const char* quantity = qxi18n::translate_in_context("chart axis", layout.quantity);
  chart["unit"] = *layout.unit == '\0' ? std::string(quantity)
                                       : qxcore::format(_("%s/%s"), quantity, layout.unit);
  chart["series"] = Json::Value(Json::arrayValue);
  for (const std::size_t index : lines_of(layout)) {
    std::vector<double> values;
    values.reserve(meter.rounds.size());
    double previous = std::nan("");
    for (const RecordedRound& round : meter.rounds) {
      const double v = round.values[index];
      values.push_back(layout.increments ? v - previous : v);
      if (!std::isnan(v)) previous = v;
    }
    Json::Value series(Json::objectValue);
    series["label"] = qx7540pm::kRegisterMap[index].key;
    series["points"] = series_points(meter, buckets, values);
    chart["series"].append(std::move(series));
  }
  return chart;
}

/// [round, count, ...] per failure kind: each failed round, or per bucket.
/// One pass over the rounds, whatever the number of kinds.
Json::Value failures_of(const RecordedMeter& meter, const MeterVerdict& verdict,
                        const std::vector<Bucket>& buckets) {
  const std::size_t kinds = std::min(verdict.failures.size(), kMaxFailureKinds);
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t k = 0; k < kinds; ++k) index.emplace(verdict.failures[k].first, k);
  std::vector<Json::Value> points(kinds, Json::Value(Json::arrayValue));
  std::vector<long> counts(kinds, 0);
  std::vector<std::size_t> seen;
  for (const Bucket& b : buckets) {
    seen.clear();
    for (std::size_t i = b.begin; i < b.end; ++i) {
      const RecordedRound& r = meter.rounds[i];
      if (r.ok || r.round == 0) continue;
      const auto it = index.find(r.failure.empty() ? "unknown" : r.failure);
      if (it == index.end()) continue;
      if (counts[it->second]++ == 0) seen.push_back(it->second);
    }
    std::sort(seen.begin(), seen.end());
    for (const std::size_t k : seen) {
      points[k].append(static_cast<Json::Int64>(meter.rounds[b.begin].round));
      points[k].append(static_cast<Json::Int64>(counts[k]));
      counts[k] = 0;
    }
  }
  Json::Value failures(Json::arrayValue);
  for (std::size_t k = 0; k < kinds; ++k) {
    Json::Value entry(Json::objectValue);
    entry["kind"] = verdict.failures[k].first;
    entry["total"] = static_cast<Json::Int64>(verdict.failures[k].second);
    entry["points"] = std::move(points[k]);
    failures.append(std::move(entry));
  }
  return failures;
}

/// The smallest of 1, 2 and 5 times a power of ten that is at least `least`
/// (and at least the smallest bin).
double round_bin_width(double least) {
  least = std::max(least, kSmallestBinMs);
  const double power = std::pow(10.0, std::floor(std::log10(least)));
  for (double step : {1.0, 2.0, 5.0}) {
    if (step * power >= least * (1 - 1e-9)) return step * power;
  }
  return 10 * power;
}

/// Good polled rounds by their time, in bins spanning the wire minimum too.
Json::Value histogram_of(const RecordedMeter& meter, const MeterVerdict& verdict,
                         double wire_minimum_ms) {
  Json::Value histogram(Json::objectValue);
  histogram["wire_minimum_ms"] =
      wire_minimum_ms >= 0 ? Json::Value(wire_minimum_ms) : Json::Value();
  histogram["mean_ms"] =
      verdict.mean_good_ms >= 0 ? Json::Value(verdict.mean_good_ms) : Json::Value();
  histogram["counts"] = Json::Value(Json::arrayValue);
  if (verdict.timed_good == 0) return histogram;
  double low = verdict.min_good_ms, high = verdict.max_good_ms;
  if (wire_minimum_ms >= 0) {
    low = std::min(low, wire_minimum_ms);
    high = std::max(high, wire_minimum_ms);
  }
  // Bins of a round width (1, 2 or 5 times a power of ten) from a multiple
  // of it, so that the axis reads 0, 25, 50 ms rather than 0.297, 3.42 ms;
  // from 0 when the rounds lie nearer 0 than their spread.
  const double width = round_bin_width((high - low) / kHistogramBins);
  low = low < high - low ? 0.0 : std::floor(low / width) * width;
  const auto bins = static_cast<std::size_t>(
      std::clamp(static_cast<long>(std::floor((high - low) / width)) + 1, 1L, 2L * kHistogramBins));
  std::vector<long> counts(bins, 0);
  for (const RecordedRound& r : meter.rounds) {
    if (r.round == 0 || !r.ok || r.round_ms < 0) continue;
    const auto bin = static_cast<long>((r.round_ms - low) / width);
    ++counts[static_cast<std::size_t>(std::clamp(bin, 0L, static_cast<long>(bins) - 1))];
  }
  histogram["low_ms"] = low;
  histogram["bin_ms"] = width;
  for (long c : counts) histogram["counts"].append(static_cast<Json::Int64>(c));
  return histogram;
}

/// [round, seconds, ...] at most kClockSamples times, the first and last
/// round among them: the page puts times under the round axis from these.
Json::Value clock_of(const RecordedMeter& meter) {
  Json::Value clock(Json::arrayValue);
  const std::size_t n = meter.rounds.size();
  const std::size_t step = std::max<std::size_t>(1, (n + kClockSamples - 1) / kClockSamples);
  std::vector<std::size_t> samples;
  for (std::size_t i = 0; i < n; i += step) samples.push_back(i);
  if (n > 0 && samples.back() != n - 1) samples.push_back(n - 1);
  for (std::size_t i : samples) {
    const long long seconds = clock_seconds(meter.rounds[i].time);
    if (seconds >= 0) {
      clock.append(static_cast<Json::Int64>(meter.rounds[i].round));
      clock.append(static_cast<Json::Int64>(seconds));
    }
  }
  return clock;
}

}  // namespace

Json::Value round_series(const RecordedMeter& meter, const std::vector<double>& values) {
  return series_points(meter, buckets_of(meter.rounds.size()), values);
}

long long clock_seconds(const std::string& time) {
  int y, mo, d, h, mi, s;
  if (std::sscanf(time.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6) {
    return -1;
  }
  // Days since 1970-01-01 of a proleptic Gregorian date.
  y -= mo <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long days = era * 146097 + doe - 719468;
  return days * 86400 + h * 3600 + mi * 60 + s;
}

Json::Value meter_chart_data(const RecordedMeter& meter, const MeterVerdict& verdict,
                             double wire_minimum_ms) {
  const std::vector<Bucket> buckets = buckets_of(meter.rounds.size());
  Json::Value data(Json::objectValue);
  data["slave"] = meter.slave;
  data["first_round"] =
      static_cast<Json::Int64>(meter.rounds.empty() ? 0 : meter.rounds.front().round);
  data["last_round"] =
      static_cast<Json::Int64>(meter.rounds.empty() ? 0 : meter.rounds.back().round);
  data["decimated"] = meter.rounds.size() > kMaxChartPoints;
  data["clock"] = clock_of(meter);
  data["charts"] = Json::Value(Json::arrayValue);
  for (const ChartLayout& layout : kCharts) data["charts"].append(chart_of(layout, meter, buckets));
  data["failures"] = failures_of(meter, verdict, buckets);
  data["alarm_marks"] = Json::Value(Json::arrayValue);
  for (std::size_t i = 0; i < verdict.alarm_changes.size() && i < kMaxAlarmMarks; ++i) {
    Json::Value mark(Json::objectValue);
    mark["round"] = static_cast<Json::Int64>(verdict.alarm_changes[i].round);
    mark["raised"] = verdict.alarm_changes[i].raised;
    data["alarm_marks"].append(std::move(mark));
  }
  data["histogram"] = histogram_of(meter, verdict, wire_minimum_ms);
  return data;
}

}  // namespace qxbench
