#include "diagnosis/diagnosis.h"

#include <algorithm>
#include <cmath>

#include "alarm.h"

namespace qxbench {
namespace {

using qx7540pm::PhaseGroup;
using qx7540pm::QuantityKind;

constexpr PhaseGroup kPhases[3] = {PhaseGroup::kA, PhaseGroup::kB, PhaseGroup::kC};
constexpr const char* kPhaseNames[3] = {"A", "B", "C"};
// Line voltage i lies between phase i and phase (i + 1) % 3: AB, BC, CA.
constexpr const char* kPairNames[3] = {"AB", "BC", "CA"};

// vt-polarity: a line voltage over √3 times the mean of its two phases. 1
// when the phases are 120° apart; a magnitude unbalance of several percent
// moves it by well under 1 %, so ±10 % is healthy. Two phases 60° apart (one
// input reversed) give 1/√3 = 0.577; one phase on both inputs gives nearly 0.
constexpr double kRatioHealthyLow = 0.9, kRatioHealthyHigh = 1.1;
constexpr double kRatioReversedLow = 0.45, kRatioReversedHigh = 0.7;
constexpr double kRatioSamePhase = 0.25;
// voltage-missing: below half the other two's mean. A supply that works sags
// that deep for cycles, not for the meter's one-second values; an input with
// its lead or fuse gone reads 0 or a few volts coupled from its neighbours.
// Below a tenth of nominal on all three (an interruption, as IEC 61000-4-30
// counts it) no input has voltage at all.
constexpr double kMissingVoltageShare = 0.5;
constexpr double kNoVoltageShare = 0.1;
// current-missing: below 5 % of the others' mean while they carry at least
// 0.05 A (1 % of a 5 A secondary): an open or unconnected CT reads about 0.
constexpr double kMissingCurrentShare = 0.05;
constexpr double kLoadedAmps = 0.05;
// ct-cross: a CT on another phase moves its current by 120°: a load at
// power factor 0.95 then reads 0.745 or 0.20, at 1.0 it reads 0.5. Far below
// is 0.15 under both others (phases of one load differ by less), when those
// are at least 0.6 and the currents within 25 % of theirs.
constexpr double kCrossFactorGap = 0.15;
constexpr double kCrossFactorFloor = 0.6;
constexpr double kComparableCurrents = 0.25;
// consistency: S may exceed √(P² + Q²) by the distortion power of usual
// harmonic currents, so 5 %; a power factor is 4 digits, P / S from 3-digit
// kW at 0.05 kVA and above is good to 0.02, so 0.03; totals and averages are
// the meter's own sums, good to rounding: 2 % and 1 %, and at least a few
// register counts (0.003 kW, 0.2 V, 0.003 A).
constexpr double kApparentShare = 0.05;
constexpr double kPowerCounts = 0.003;
constexpr double kFactorGap = 0.03;
constexpr double kFactorSmallestKva = 0.05;
constexpr double kTotalShare = 0.02;
constexpr double kAverageShare = 0.01;
constexpr double kVoltCounts = 0.2;
constexpr double kAmpCounts = 0.003;
int row_of(QuantityKind kind, PhaseGroup phase) { return qx7540pm::register_index(kind, phase); }

double at(const Readings& r, QuantityKind kind, PhaseGroup phase) {
  return r[static_cast<std::size_t>(row_of(kind, phase))];
}

std::array<double, 3> per_phase(const Readings& r, QuantityKind kind) {
  return {at(r, kind, PhaseGroup::kA), at(r, kind, PhaseGroup::kB), at(r, kind, PhaseGroup::kC)};
}

bool known(const std::array<double, 3>& v) {
  return !std::isnan(v[0]) && !std::isnan(v[1]) && !std::isnan(v[2]);
}

/// A finding's numbers as they are reported: six significant digits.
double rounded(double value) {
  if (!std::isfinite(value)) return NAN;
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return std::strtod(text, nullptr);
}

/// Collects a round's findings.
class Judge {
 public:
  Judge(const Readings& r, const DiagnosisBasis& basis, RoundDiagnosis& d)
      : r_(r), basis_(basis), d_(d) {}

  void add(Check check, std::string phase, double value, double limit, Severity severity,
           Cause cause = Cause::kNone, int quantity = -1) {
    d_.findings.push_back(
        {check, std::move(phase), rounded(value), rounded(limit), severity, cause, quantity});
  }

  void voltage_missing();
  void vt_polarity();
  void currents();
  void ct_cross();
  void consistency(bool alarm_raised);
  void supply();

 private:
  /// |measured - expected| beyond share of expected (and beyond counts).
  void compare(double measured, double expected, double share, double counts, Cause cause,
               int quantity, const std::string& phase = "") {
    if (std::isnan(measured) || std::isnan(expected)) return;
    if (std::fabs(measured - expected) > std::max(share * std::fabs(expected), counts)) {
      add(Check::kConsistency, phase, measured, expected, Severity::kFault, cause, quantity);
    }
  }

  const Readings& r_;
  const DiagnosisBasis& basis_;
  RoundDiagnosis& d_;
  std::array<bool, 3> missing_{};  ///< voltage-missing per phase
  bool no_voltage_ = false;
  bool line_fault_ = false;  ///< the line voltages say nothing of the supply
  std::array<bool, 3> current_missing_{};
};

void Judge::voltage_missing() {
  const std::array<double, 3> u = per_phase(r_, QuantityKind::kPhaseVoltage);
  if (!known(u)) return;
  if (*std::max_element(u.begin(), u.end()) < kNoVoltageShare * basis_.nominal_voltage) {
    no_voltage_ = true;
    add(Check::kVoltageMissing, "", *std::max_element(u.begin(), u.end()),
        kNoVoltageShare * basis_.nominal_voltage, Severity::kFault, Cause::kNoVoltage);
    return;
  }
  for (int i = 0; i < 3; ++i) {
    const double others = (u[(i + 1) % 3] + u[(i + 2) % 3]) / 2;
    if (u[i] < kMissingVoltageShare * others) {
      missing_[i] = true;
      add(Check::kVoltageMissing, kPhaseNames[i], u[i], kMissingVoltageShare * others,
          Severity::kFault, Cause::kNone, row_of(QuantityKind::kPhaseVoltage, kPhases[i]));
    }
  }
}

void Judge::vt_polarity() {
  const std::array<double, 3> u = per_phase(r_, QuantityKind::kPhaseVoltage);
  const std::array<double, 3> line = per_phase(r_, QuantityKind::kLineVoltage);
  if (no_voltage_ || !known(u) || !known(line)) return;
  std::array<double, 3> ratio{};
  std::array<bool, 3> healthy{}, reversed{};
  int off = 0;
  for (int i = 0; i < 3; ++i) {
    const double mean = (u[i] + u[(i + 1) % 3]) / 2;
    ratio[i] = mean > 0 ? line[i] / (std::sqrt(3.0) * mean) : NAN;
    healthy[i] = ratio[i] >= kRatioHealthyLow && ratio[i] <= kRatioHealthyHigh;
    reversed[i] = ratio[i] >= kRatioReversedLow && ratio[i] <= kRatioReversedHigh;
    off += healthy[i] ? 0 : 1;
  }
  const auto judged = [this](int pair) { return !missing_[pair] && !missing_[(pair + 1) % 3]; };
  if (off == 3 && !(missing_[0] || missing_[1] || missing_[2])) {
    // No one reversal explains three pairs: the scale or the meter's wiring mode.
    line_fault_ = true;
    add(Check::kConsistency, "", (ratio[0] + ratio[1] + ratio[2]) / 3, 1, Severity::kFault,
        Cause::kLineVoltages, row_of(QuantityKind::kLineVoltage, PhaseGroup::kA));
    return;
  }
  for (int shared = 0; shared < 3; ++shared) {
    // The pairs ending and starting at this phase: (shared + 2) % 3 and shared.
    const int before = (shared + 2) % 3;
    if (reversed[before] && reversed[shared] && healthy[(shared + 1) % 3] && judged(before) &&
        judged(shared)) {
      line_fault_ = true;
      add(Check::kVtPolarity, kPhaseNames[shared], (ratio[before] + ratio[shared]) / 2, 1,
          Severity::kFault, Cause::kReversedInput);
      return;
    }
  }
  // One phase on both inputs leaves the other two pairs healthy: without a
  // healthy pair to go by, a low one says no more than that it is off.
  const bool reference =
      (healthy[0] && judged(0)) || (healthy[1] && judged(1)) || (healthy[2] && judged(2));
  for (int i = 0; i < 3; ++i) {
    if (healthy[i] || !judged(i)) continue;
    line_fault_ = true;
    const int quantity = row_of(QuantityKind::kLineVoltage, kPhases[i]);
    if (ratio[i] < kRatioSamePhase && reference) {
      add(Check::kVtPolarity, kPairNames[i], ratio[i], 1, Severity::kFault, Cause::kSamePhase,
          quantity);
    } else {
      add(Check::kConsistency, kPairNames[i], ratio[i], 1, Severity::kFault, Cause::kLineVoltage,
          quantity);
    }
  }
}

void Judge::currents() {
  const std::array<double, 3> i = per_phase(r_, QuantityKind::kCurrent);
  if (!known(i)) return;
  for (int p = 0; p < 3; ++p) {
    const double others = (i[(p + 1) % 3] + i[(p + 2) % 3]) / 2;
    if (others >= kLoadedAmps && i[p] < kMissingCurrentShare * others) {
      current_missing_[p] = true;
      add(Check::kCurrentMissing, kPhaseNames[p], i[p], kMissingCurrentShare * others,
          Severity::kNote, Cause::kNone, row_of(QuantityKind::kCurrent, kPhases[p]));
    }
  }
  d_.current_unbalance = current_unbalance_percent(i[0], i[1], i[2]);
  const bool loaded = (i[0] + i[1] + i[2]) / 3 >= kLoadedAmps;
  if (loaded && !current_missing_[0] && !current_missing_[1] && !current_missing_[2] &&
      d_.current_unbalance > kCurrentUnbalanceNote) {
    add(Check::kCurrentUnbalance, "", d_.current_unbalance, kCurrentUnbalanceNote, Severity::kNote);
  }
}

void Judge::ct_cross() {
  const std::array<double, 3> i = per_phase(r_, QuantityKind::kCurrent);
  const std::array<double, 3> pf = per_phase(r_, QuantityKind::kPowerFactor);
  if (!known(i) || !known(pf) || no_voltage_) return;
  for (int p = 0; p < 3; ++p) {
    const int a = (p + 1) % 3, b = (p + 2) % 3;
    if (missing_[p] || missing_[a] || missing_[b]) continue;
    const double amps = (i[a] + i[b]) / 2;
    const double lower = std::min(pf[a], pf[b]);
    if (amps < kLoadedAmps || std::fabs(i[p] - amps) > kComparableCurrents * amps) continue;
    if (lower >= kCrossFactorFloor && pf[p] < lower - kCrossFactorGap) {
      add(Check::kCtCross, kPhaseNames[p], pf[p], (pf[a] + pf[b]) / 2, Severity::kFault,
          Cause::kNone, row_of(QuantityKind::kPowerFactor, kPhases[p]));
    }
  }
}

void Judge::consistency(bool alarm_raised) {
  double sum_p = 0, sum_q = 0, sum_s = 0;
  for (int p = 0; p < 3; ++p) {
    const double P = at(r_, QuantityKind::kActivePower, kPhases[p]);
    const double Q = at(r_, QuantityKind::kReactivePower, kPhases[p]);
    const double S = at(r_, QuantityKind::kApparentPower, kPhases[p]);
    const double pf = at(r_, QuantityKind::kPowerFactor, kPhases[p]);
    sum_p += P;
    sum_q += Q;
    sum_s += S;
    compare(S, std::hypot(P, Q), kApparentShare, kPowerCounts, Cause::kApparentPower,
            row_of(QuantityKind::kApparentPower, kPhases[p]), kPhaseNames[p]);
    if (S >= kFactorSmallestKva) {
      compare(pf, P / S, 0, kFactorGap, Cause::kPowerFactor,
              row_of(QuantityKind::kPowerFactor, kPhases[p]), kPhaseNames[p]);
    }
  }
  const PhaseGroup whole = PhaseGroup::kWhole;
  compare(at(r_, QuantityKind::kActivePower, whole), sum_p, kTotalShare, kPowerCounts,
          Cause::kTotal, row_of(QuantityKind::kActivePower, whole));
  compare(at(r_, QuantityKind::kReactivePower, whole), sum_q, kTotalShare, kPowerCounts,
          Cause::kTotal, row_of(QuantityKind::kReactivePower, whole));
  // A total apparent power is the phases' sum, or the vector of the totals.
  const double s_total = at(r_, QuantityKind::kApparentPower, whole);
  const double vector = std::hypot(sum_p, sum_q);
  const double nearer = std::fabs(s_total - vector) < std::fabs(s_total - sum_s) ? vector : sum_s;
  compare(s_total, nearer, kTotalShare, kPowerCounts, Cause::kTotal,
          row_of(QuantityKind::kApparentPower, whole));
  const double p_total = at(r_, QuantityKind::kActivePower, whole);
  if (s_total >= kFactorSmallestKva) {
    compare(at(r_, QuantityKind::kPowerFactor, whole), p_total / s_total, 0, kFactorGap,
            Cause::kPowerFactor, row_of(QuantityKind::kPowerFactor, whole));
  }
  const struct {
    QuantityKind kind;
    double counts;
  } averages[] = {{QuantityKind::kPhaseVoltage, kVoltCounts},
                  {QuantityKind::kLineVoltage, kVoltCounts},
                  {QuantityKind::kCurrent, kAmpCounts}};
  for (const auto& average : averages) {
    const std::array<double, 3> v = per_phase(r_, average.kind);
    compare(at(r_, average.kind, whole), (v[0] + v[1] + v[2]) / 3, kAverageShare, average.counts,
            Cause::kAverage, row_of(average.kind, whole));
  }
  // The alarm check reads the voltage registers at a tenth of the snapshot's
  // scale: raised while every phase is above its threshold, that is the cause.
  const std::array<double, 3> u = per_phase(r_, QuantityKind::kPhaseVoltage);
  const double lowest = *std::min_element(u.begin(), u.end());
  if (alarm_raised && known(u) && lowest >= qx7540pm::kInterruptionThreshold) {
    const double scale = qx7540pm::divisor_of(qx7540pm::kAlarmPhases[0]->scale);
    add(Check::kConsistency, "", lowest * scale / qx7540pm::kAlarmDivisor,
        qx7540pm::kInterruptionThreshold, Severity::kFault, Cause::kAlarmScale,
        row_of(QuantityKind::kPhaseVoltage, PhaseGroup::kA));
  }
}

void Judge::supply() {
  const std::array<double, 3> u = per_phase(r_, QuantityKind::kPhaseVoltage);
  for (int p = 0; p < 3 && basis_.nominal_voltage > 0; ++p) {
    if (std::isnan(u[p])) continue;
    const double deviation = (u[p] - basis_.nominal_voltage) / basis_.nominal_voltage * 100;
    d_.voltage_deviation[static_cast<std::size_t>(p)] = rounded(deviation);
    if (!missing_[p] && !no_voltage_ && std::fabs(deviation) > kVoltageDeviationLimit) {
      add(Check::kVoltageDeviation, kPhaseNames[p], deviation,
          std::copysign(kVoltageDeviationLimit, deviation), Severity::kWarning, Cause::kNone,
          row_of(QuantityKind::kPhaseVoltage, kPhases[p]));
    }
  }
  const double f = at(r_, QuantityKind::kFrequency, PhaseGroup::kWhole);
  if (!std::isnan(f) && !no_voltage_) {
    const double deviation = f - basis_.nominal_frequency;
    d_.frequency_deviation = rounded(deviation);
    if (std::fabs(deviation) > basis_.frequency_limit) {
      add(Check::kFrequencyDeviation, "", deviation,
          std::copysign(basis_.frequency_limit, deviation), Severity::kWarning);
    }
  }
  const std::array<double, 3> line = per_phase(r_, QuantityKind::kLineVoltage);
  d_.voltage_unbalance = rounded(voltage_unbalance_percent(line[0], line[1], line[2]));
  // Measured through a wrong connection the line voltages are not the supply's.
  const bool wired = !line_fault_ && !no_voltage_ && !missing_[0] && !missing_[1] && !missing_[2];
  d_.unbalance_judged = wired && !std::isnan(d_.voltage_unbalance);
  if (d_.unbalance_judged && d_.voltage_unbalance > kVoltageUnbalanceLimit) {
    const bool short_time = d_.voltage_unbalance > kVoltageUnbalanceShortTime;
    add(Check::kVoltageUnbalance, "", d_.voltage_unbalance,
        short_time ? kVoltageUnbalanceShortTime : kVoltageUnbalanceLimit, Severity::kWarning,
        short_time ? Cause::kShortTime : Cause::kNone);
  }
  d_.current_unbalance = rounded(d_.current_unbalance);
}

}  // namespace

bool RoundDiagnosis::has(Check check) const {
  return std::any_of(findings.begin(), findings.end(),
                     [check](const Finding& f) { return f.check == check; });
}

double voltage_unbalance_percent(double uab, double ubc, double uca) {
  const double squares = uab * uab + ubc * ubc + uca * uca;
  if (!std::isfinite(squares) || squares <= 0) return NAN;
  const double l = (std::pow(uab, 4) + std::pow(ubc, 4) + std::pow(uca, 4)) / (squares * squares);
  // 3 - 6L lies in [0, 1] for magnitudes that close a triangle; rounding
  // (or magnitudes that close none) takes it past either end.
  const double root = std::sqrt(std::clamp(3 - 6 * l, 0.0, 1.0));
  return std::sqrt((1 - root) / (1 + root)) * 100;
}

double current_unbalance_percent(double ia, double ib, double ic) {
  const double mean = (ia + ib + ic) / 3;
  if (!std::isfinite(mean) || mean <= 0) return NAN;
  const double largest =
      std::max({std::fabs(ia - mean), std::fabs(ib - mean), std::fabs(ic - mean)});
  return largest / mean * 100;
}

Readings readings_of_snapshot(const Json::Value& snapshot) {
  Readings readings;
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const Json::Value& v = snapshot.isObject() ? snapshot[qx7540pm::kRegisterMap[i].key]
                                               : Json::Value::nullSingleton();
    readings[i] = v.isNumeric() ? v.asDouble() : NAN;
  }
  return readings;
}

RoundDiagnosis diagnose_round(const Readings& readings, const DiagnosisBasis& basis,
                              bool alarm_raised, DiagnosisMemory& memory) {
  RoundDiagnosis d;
  d.judged = true;
  d.basis = basis;
  Judge judge(readings, basis, d);
  judge.voltage_missing();
  judge.vt_polarity();
  judge.currents();
  // The registers are unsigned: a reversed CT shows only as reverse energy.
  const double reverse = at(readings, QuantityKind::kReverseActiveEnergy, PhaseGroup::kWhole);
  if (!std::isnan(reverse) && !std::isnan(memory.reverse_active_energy) &&
      reverse > memory.reverse_active_energy) {
    judge.add(Check::kCtReverse, "", reverse - memory.reverse_active_energy, 0, Severity::kFault,
              Cause::kNone, row_of(QuantityKind::kReverseActiveEnergy, PhaseGroup::kWhole));
  }
  if (!std::isnan(reverse)) memory.reverse_active_energy = reverse;
  judge.ct_cross();
  judge.consistency(alarm_raised);
  judge.supply();
  std::stable_sort(d.findings.begin(), d.findings.end(),
                   [](const Finding& a, const Finding& b) { return a.check < b.check; });
  return d;
}

Json::Value figure_json(double value) {
  return std::isfinite(value) ? Json::Value(rounded(value)) : Json::Value();
}

Json::Value findings_json(const RoundDiagnosis& d) {
  Json::Value list(Json::arrayValue);
  for (const Finding& f : d.findings) {
    Json::Value o(Json::objectValue);
    o["check"] = check_id(f.check);
    o["phase"] = f.phase.empty() ? Json::Value() : Json::Value(f.phase);
    o["value"] = figure_json(f.value);
    o["limit"] = figure_json(f.limit);
    o["severity"] = severity_name(f.severity);
    o["quantity"] =
        f.quantity >= 0 ? Json::Value(qx7540pm::kRegisterMap[f.quantity].key) : Json::Value();
    o["text"] = finding_text(f, false);
    list.append(std::move(o));
  }
  return list;
}

}  // namespace qxbench
