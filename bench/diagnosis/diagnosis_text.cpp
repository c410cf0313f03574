// The diagnosis in words: each finding's likely cause and what to check on
// site, in English (--json) or in the run's language.
#include <cmath>

#include "diagnosis/diagnosis.h"
#include "qxcore/message.h"
#include "qxcore/text.h"

namespace qxbench {
namespace {

using qxcore::format;
using qxcore::words;

constexpr const char* kCheckIds[kCheckCount] = {
    "voltage-missing",   "vt-polarity",       "current-missing",   "ct-reverse",
    "ct-cross",          "consistency",       "voltage-deviation", "frequency-deviation",
    "voltage-unbalance", "current-unbalance",
};

/// The key the finding's value is of ("相电压Ua"), or "" for none.
std::string key_of(const Finding& f) {
  return f.quantity >= 0 ? qx7540pm::kRegisterMap[f.quantity].key : "";
}

/// The pairs meeting at a phase: "CA" and "AB" for A.
std::string pair_before(const std::string& phase) {
  static const char* const kBefore[] = {"CA", "AB", "BC"};
  return phase.empty() ? "" : kBefore[phase[0] - 'A'];
}
std::string pair_after(const std::string& phase) {
  static const char* const kAfter[] = {"AB", "BC", "CA"};
  return phase.empty() ? "" : kAfter[phase[0] - 'A'];
}

std::string consistency_text(const Finding& f, bool people) {
  const std::string key = key_of(f);
  switch (f.cause) {
    case Cause::kApparentPower:
      return format(words(people, N_("phase %s: apparent power %.3f kVA, but the square root of "
                                     "P² + Q² is %.3f kVA: the meter's values disagree; check the "
                                     "register map and the scale of the power registers")),
                    f.phase.c_str(), f.value, f.limit);
    case Cause::kPowerFactor:
      return format(words(people, N_("%s is %.4f, but P / S gives %.4f: the meter's values "
                                     "disagree; check the register map and the meter's wiring "
                                     "mode (three-phase four-wire)")),
                    key.c_str(), f.value, f.limit);
    case Cause::kTotal:
      return format(words(people, N_("%s is %.3f, but the phases add up to %.3f: the meter's "
                                     "values disagree; check the register map, the scale and the "
                                     "meter's wiring mode")),
                    key.c_str(), f.value, f.limit);
    case Cause::kAverage:
      return format(words(people, N_("%s is %.3f, but the phases' mean is %.3f: the meter's values "
                                     "disagree; check the register map and the scale")),
                    key.c_str(), f.value, f.limit);
    case Cause::kLineVoltage:
      return format(words(people, N_("line voltage %s is %.3f times the square root of 3 times its "
                                     "phases' mean, which no wiring of the inputs gives: check "
                                     "the line voltage register's scale and the meter's wiring "
                                     "mode")),
                    f.phase.c_str(), f.value);
    case Cause::kLineVoltages:
      return format(words(people, N_("every line voltage disagrees with its phases (%.3f of the "
                                     "expected on average): the phase and line voltage registers "
                                     "are not on one scale, or the meter is set for another wiring "
                                     "mode (three-phase three-wire); check the register map, the "
                                     "scale and the meter's wiring setting")),
                    f.value);
    case Cause::kAlarmScale:
      return format(words(people, N_("the alarm is raised on healthy voltages: its check divides "
                                     "the voltage registers by 100, not by 10 as the snapshot "
                                     "does, and reads %.1f V against its threshold of %.0f V; the "
                                     "meter's voltage scale does not suit the controller's alarm "
                                     "(see the bench's documentation on the alarm's scale)")),
                    f.value, f.limit);
    default:
      return std::string();
  }
}

}  // namespace

const char* check_id(Check check) { return kCheckIds[static_cast<int>(check)]; }

bool is_wiring(Check check) { return check < Check::kVoltageDeviation; }

const char* severity_name(Severity severity) {
  return severity == Severity::kFault     ? "fault"
         : severity == Severity::kWarning ? "warning"
                                          : "note";
}

std::string finding_text(const Finding& f, bool people) {
  const char* phase = f.phase.c_str();
  switch (f.check) {
    case Check::kVoltageMissing:
      if (f.cause == Cause::kNoVoltage) {
        return format(words(people, N_("no voltage on any input (at most %.1f V): the voltage "
                                       "circuit is not connected or not energised; check the "
                                       "voltage leads' common fuse or breaker and the supply")),
                      f.value);
      }
      return format(words(people, N_("phase %s reads %.1f V, far below the others: its voltage "
                                     "lead, fuse or voltage transformer is missing; check the lead "
                                     "to the meter's voltage input of that phase, its fuse or "
                                     "breaker, and the transformer's secondary")),
                    phase, f.value);
    case Check::kVtPolarity:
      if (f.cause == Cause::kSamePhase) {
        return format(words(people, N_("line voltage %s is nearly 0 (%.3f of the expected): one "
                                       "phase is wired to both of its voltage inputs; trace both "
                                       "leads back to their phases")),
                      phase, f.value);
      }
      return format(words(people, N_("line voltages %s and %s are 1/√3 of the expected (%.3f): "
                                     "the phases read 60° apart, not 120°, so the voltage input of "
                                     "phase %s is reversed; swap its two leads at the meter or at "
                                     "the voltage transformer's secondary")),
                    pair_before(f.phase).c_str(), pair_after(f.phase).c_str(), f.value, phase);
    case Check::kCurrentMissing:
      return format(words(people, N_("no current on phase %s (%.3f A) while the others carry "
                                     "load: its current transformer is open or not connected (or "
                                     "the load is single-phase); check the transformer's leads to "
                                     "the meter and that its shorting link is removed")),
                    phase, f.value);
    case Check::kCtReverse:
      return format(words(people, N_("the reverse active energy counter rose by %g kWh: a current "
                                     "transformer is reversed (P1/P2 or S1/S2 swapped), or the "
                                     "site exports power; check each transformer's direction "
                                     "against the flow of energy, and whether the site "
                                     "generates")),
                    f.value);
    case Check::kCtCross:
      return format(words(people, N_("phase %s's power factor %.3f is far below the others' "
                                     "(%.3f) at a comparable current: its current transformer may "
                                     "sit on another phase than its voltage; check that each "
                                     "transformer is on the conductor whose voltage goes to the "
                                     "same phase's input")),
                    phase, f.value, f.limit);
    case Check::kConsistency:
      return consistency_text(f, people);
    case Check::kVoltageDeviation:
      return format(words(people, N_("phase %s is %+.1f %% from the nominal voltage, beyond "
                                     "%+.0f %% (GB/T 12325-2008): the supply voltage is out of "
                                     "limits; check the transformer's tap and the load, or that "
                                     "--nominal-voltage is the system's")),
                    phase, f.value, f.limit);
    case Check::kFrequencyDeviation:
      return format(words(people, N_("the frequency is %+.3f Hz from the nominal, beyond %+.1f Hz "
                                     "(GB/T 15945-2008): the source is out of limits (an island "
                                     "or generator supply?); check the source, or "
                                     "--nominal-frequency and --small-system")),
                    f.value, f.limit);
    case Check::kVoltageUnbalance:
      return format(f.cause == Cause::kShortTime
                        ? words(people, N_("voltage unbalance %.2f %% is above the short-time "
                                           "limit of %.0f %% (GB/T 15543-2008): a supply fault or "
                                           "heavy single-phase loads; check the supply and tell "
                                           "the utility"))
                        : words(people, N_("voltage unbalance %.2f %% is above %.0f %% (GB/T "
                                           "15543-2008, normal operation): uneven single-phase "
                                           "loads or the supply; check how the single-phase loads "
                                           "are spread over the phases")),
                    f.value, f.limit);
    case Check::kCurrentUnbalance:
      return format(words(people, N_("current unbalance %.1f %% (noted above %.0f %%): the load "
                                     "is spread unevenly over the phases; consider moving "
                                     "single-phase loads")),
                    f.value, f.limit);
    default:
      return std::string();
  }
}

std::string finding_brief(const Finding& f, bool people, bool with_code) {
  std::string what = with_code ? check_id(f.check) : "";
  const auto add = [&what](const std::string& word) { what += (what.empty() ? "" : " ") + word; };
  // A disagreement names the value that disagrees, a pair its line.
  const bool keyed = f.check == Check::kConsistency && f.quantity >= 0 &&
                     f.cause != Cause::kLineVoltages && f.cause != Cause::kAlarmScale;
  if (keyed) {
    add(key_of(f));
  } else if (!f.phase.empty()) {
    add(f.phase);
  }
  const auto number = [&f](double v) {
    switch (f.check) {
      case Check::kVoltageDeviation:
        return format("%+.1f %%", v);
      case Check::kFrequencyDeviation:
        return format("%+.3f Hz", v);
      case Check::kVoltageUnbalance:
      case Check::kCurrentUnbalance:
        return format("%.2f %%", v);
      case Check::kVoltageMissing:
        return format("%.1f V", v);
      case Check::kCurrentMissing:
        return format("%.3f A", v);
      case Check::kCtReverse:
        return format("%+g kWh", v);
      default:
        return format("%.4g", v);
    }
  };
  const bool expected =
      f.check == Check::kVtPolarity || f.check == Check::kCtCross || f.check == Check::kConsistency;
  if (what.empty()) {
    return std::isnan(f.limit) ? number(f.value)
                               : format(expected ? words(people, N_("%s (expected %s)"))
                                                 : words(people, N_("%s (limit %s)")),
                                        number(f.value).c_str(), number(f.limit).c_str());
  }
  if (std::isnan(f.limit)) return format("%s %s", what.c_str(), number(f.value).c_str());
  return format(
      expected ? words(people, N_("%s %s (expected %s)")) : words(people, N_("%s %s (limit %s)")),
      what.c_str(), number(f.value).c_str(), number(f.limit).c_str());
}

std::string diagnosis_line(const RoundDiagnosis& d) {
  std::string line;
  for (const Finding& f : d.findings) {
    if (!line.empty()) line += _("; ");
    line += finding_brief(f, true);
  }
  return line;
}

}  // namespace qxbench
