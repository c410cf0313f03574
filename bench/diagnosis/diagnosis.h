// Commissioning diagnosis of one round: what the meter's values, as the
// controller sees them in the 801 snapshot, say of the cabinet's wiring and
// of the supply's quality. Pure functions of the readings; the one thing a
// round needs of the rounds before it (the reverse energy counter) is kept
// by the caller in a DiagnosisMemory per meter.
#pragma once

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <json/value.h>

#include "register_map.h"

namespace qxbench {

/// The rendered registers' values in register-map order, NaN where none.
using Readings = std::array<double, qx7540pm::kRenderedRegisters>;

/// What the supply is judged against (--nominal-voltage, --nominal-frequency,
/// --small-system).
struct DiagnosisBasis {
  double nominal_voltage = 220;   ///< phase voltage, V; the line voltage is √3 times it
  double nominal_frequency = 50;  ///< Hz
  double frequency_limit = 0.2;   ///< Hz either way; 0.5 in a small system
};

/// The nominal values a run may be judged against: the options' ranges, and a CSV's.
constexpr double kLowestNominal = 1;
constexpr double kHighestNominalVoltage = 1e6;
constexpr double kHighestNominalFrequency = 1000;

/// The supply's limits. GB/T 15945-2008: the frequency within 0.2 Hz in
/// normal operation, 0.5 Hz in a small system. GB/T 12325-2008: a three-phase
/// supply at 20 kV and below within 7 % of nominal. GB/T 15543-2008: the
/// negative-sequence voltage unbalance at most 2 % in normal operation, 4 %
/// short-time. The current has no limit: 20 % (6 A beside two phases of
/// 4.5 A) is noted.
constexpr double kFrequencyLimit = 0.2;
constexpr double kSmallSystemFrequencyLimit = 0.5;
constexpr double kVoltageDeviationLimit = 7;
constexpr double kVoltageUnbalanceLimit = 2;
constexpr double kVoltageUnbalanceShortTime = 4;
constexpr double kCurrentUnbalanceNote = 20;

/// The checks, in the order they are reported.
enum class Check {
  kVoltageMissing,
  kVtPolarity,
  kCurrentMissing,
  kCtReverse,
  kCtCross,
  kConsistency,
  kVoltageDeviation,
  kFrequencyDeviation,
  kVoltageUnbalance,
  kCurrentUnbalance,
  kCount
};
constexpr int kCheckCount = static_cast<int>(Check::kCount);

/// The check's stable id ("vt-polarity"), the same in every language.
const char* check_id(Check check);
/// Wiring checks judge the cabinet; the others the supply.
bool is_wiring(Check check);

/// fault: the wiring or the meter's setup is wrong; warning: the supply is
/// outside a standard's limit; note: worth a look, no limit broken.
enum class Severity { kNote, kWarning, kFault };
const char* severity_name(Severity severity);

/// Which of a check's explanations a finding has.
enum class Cause {
  kNone,
  kReversedInput,  ///< vt-polarity: two line voltages at 1/√3, the shared phase reversed
  kSamePhase,      ///< vt-polarity: a line voltage near 0, one phase on both inputs
  kNoVoltage,      ///< voltage-missing: no voltage on any input
  kApparentPower,  ///< consistency: S against √(P² + Q²)
  kPowerFactor,    ///< consistency: power factor against P / S
  kTotal,          ///< consistency: a total against the sum of the phases
  kAverage,        ///< consistency: an average against the mean of the phases
  kLineVoltage,    ///< consistency: a line voltage that fits no wiring of its phases
  kLineVoltages,   ///< consistency: every line voltage off: scale or wiring mode
  kAlarmScale,     ///< consistency: the alarm on healthy voltages (its /100 scale)
  kShortTime,      ///< voltage-unbalance: above the short-time limit too
};

struct Finding {
  Check check = Check::kConsistency;
  std::string phase;  ///< "", "A", "AB"
  double value = NAN;
  double limit = NAN;  ///< the limit broken, or the value expected; NaN: none
  Severity severity = Severity::kNote;
  Cause cause = Cause::kNone;
  int quantity = -1;  ///< register-map row the value is of; -1: none in particular
};

/// One round's diagnosis: its findings and the supply's figures.
struct RoundDiagnosis {
  bool judged = false;   ///< the round published values
  DiagnosisBasis basis;  ///< what it was judged against
  std::vector<Finding> findings;
  std::array<double, 3> voltage_deviation{NAN, NAN, NAN};  ///< %, per phase
  double frequency_deviation = NAN;                        ///< Hz
  double voltage_unbalance = NAN;                          ///< %
  bool unbalance_judged = false;   ///< the line voltages were the supply's (no wiring fault)
  double current_unbalance = NAN;  ///< %

  bool has(Check check) const;
};

/// What a meter's next round needs of the rounds before.
struct DiagnosisMemory {
  double reverse_active_energy = NAN;
};

/// Negative-sequence voltage unbalance in % from the three line-voltage
/// magnitudes (GB/T 15543-2008, IEC 61000-4-30); NaN without voltage.
double voltage_unbalance_percent(double uab, double ubc, double uca);
/// Largest deviation of a phase current from the mean, in % of the mean; NaN without current.
double current_unbalance_percent(double ia, double ib, double ic);

/// The readings of an 801 snapshot.
Readings readings_of_snapshot(const Json::Value& snapshot);

/// Judges one published round. `alarm_raised`: the device's alarm is on.
RoundDiagnosis diagnose_round(const Readings& readings, const DiagnosisBasis& basis,
                              bool alarm_raised, DiagnosisMemory& memory);

/// "check", "phase", "value", "limit", "severity" (and "quantity", "text")
/// per finding, for --json: English ids, null for what is not known.
Json::Value findings_json(const RoundDiagnosis& diagnosis);
/// A figure for JSON and the CSV: rounded, null when NaN.
Json::Value figure_json(double value);

/// What the finding says, for people (`for_people`) or in English: the
/// likely cause and what to check on site.
std::string finding_text(const Finding& finding, bool for_people);
/// "vt-polarity B 0.577 (expected 1)": the finding in a few words, its
/// check's code first unless `with_code` is false (where the check is named
/// already: "B 0.577 (expected 1)").
std::string finding_brief(const Finding& finding, bool for_people, bool with_code = true);
/// The round block's diagnosis line; empty when nothing was found.
std::string diagnosis_line(const RoundDiagnosis& diagnosis);

}  // namespace qxbench
