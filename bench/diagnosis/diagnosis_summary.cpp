#include "diagnosis/diagnosis_summary.h"

#include <algorithm>
#include <cmath>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "qxi18n/text_width.h"

namespace qxbench {
namespace {

using qxcore::format;

/// How far a finding is from what was expected, for the worst of a check.
double distance_of(const Finding& f) {
  if (std::isnan(f.value)) return 0;
  if (std::isnan(f.limit)) return std::fabs(f.value);
  return std::fabs(f.value - f.limit) / std::max(std::fabs(f.limit), 1e-9);
}

/// The larger in magnitude, with its phase and round.
template <typename Worst>
void keep_worst(Worst& worst, double value, const std::string& phase, long round) {
  if (std::isnan(value)) return;
  if (std::isnan(worst.value) || std::fabs(value) > std::fabs(worst.value)) {
    worst.value = value;
    worst.phase = phase;
    worst.round = round;
  }
}

constexpr const char* kNames[kCheckCount] = {
    N_("Missing voltage"),
    N_("Voltage input polarity"),
    N_("Missing current"),
    N_("Current transformer direction"),
    N_("Current transformer phases"),
    N_("Values consistent"),
    N_("Supply voltage deviation"),
    N_("Frequency deviation"),
    N_("Three-phase voltage unbalance"),
    N_("Current unbalance"),
};

std::string limit_text(Check check, const DiagnosisBasis& b) {
  switch (check) {
    case Check::kVoltageMissing:
      return _("a phase below half the others' mean");
    case Check::kVtPolarity:
      return _("each line voltage the square root of 3 times its phases' mean, within 10 %");
    case Check::kCurrentMissing:
      return _(
          "a phase's current below a twentieth of the others' mean (a note: the load may "
          "be single-phase)");
    case Check::kCtReverse:
      return _("the reverse active energy counter does not rise");
    case Check::kCtCross:
      return _("a power factor 0.15 below both others' at comparable currents");
    case Check::kConsistency:
      return _(
          "S and the square root of P² + Q² within 5 %, power factors and P / S within "
          "0.03, totals and the phases' sum within 2 %, averages and the phases' mean within "
          "1 %");
    case Check::kVoltageDeviation:
      return format(_("within ±%.0f %% of %g V (GB/T 12325-2008, three-phase supply at 20 kV "
                      "and below; a 220 V single-phase supply: +7 %% / -10 %%)"),
                    kVoltageDeviationLimit, b.nominal_voltage);
    case Check::kFrequencyDeviation:
      return format(b.frequency_limit > kFrequencyLimit
                        ? _("within ±%.1f Hz of %g Hz (GB/T 15945-2008, a small system)")
                        : _("within ±%.1f Hz of %g Hz (GB/T 15945-2008, normal operation)"),
                    b.frequency_limit, b.nominal_frequency);
    case Check::kVoltageUnbalance:
      return format(_("%.0f %% in 95 %% of the rounds and %.0f %% in every round (GB/T "
                      "15543-2008: normal operation and short-time)"),
                    kVoltageUnbalanceLimit, kVoltageUnbalanceShortTime);
    case Check::kCurrentUnbalance:
      return format(_("no limit; noted above %.0f %%"), kCurrentUnbalanceNote);
    default:
      return std::string();
  }
}

/// The value a standard judges, with its unit.
std::string figure_text(Check check, double value) {
  switch (check) {
    case Check::kVoltageDeviation:
      return format("%+.1f %%", value);
    case Check::kFrequencyDeviation:
      return format("%+.3f Hz", value);
    default:
      return format("%.2f %%", value);
  }
}

}  // namespace

const char* check_name(Check check) { return _(kNames[static_cast<int>(check)]); }

const char* state_label(CheckState state) {
  switch (state) {
    case CheckState::kPassed:
      return C_("verdict", "passed");
    case CheckState::kAttention:
      return C_("verdict", "needs attention");
    case CheckState::kNote:
      return C_("verdict", "note");
    default:
      return C_("verdict", "not judged");
  }
}

void RunDiagnosis::add(long round, const RoundDiagnosis& d) {
  if (!d.judged) return;
  ++judged_;
  std::array<bool, kCheckCount> seen{};
  for (const Finding& f : d.findings) {
    Over& over = checks_[static_cast<std::size_t>(f.check)];
    if (!seen[static_cast<std::size_t>(f.check)]) ++over.rounds;
    seen[static_cast<std::size_t>(f.check)] = true;
    const double distance = distance_of(f);
    if (distance > over.worst_distance) {
      over.worst = f;
      over.worst_round = round;
      over.worst_distance = distance;
    }
  }
  static const char* const kPhaseNames[] = {"A", "B", "C"};
  // A phase without its voltage is that finding, not the supply's deviation.
  for (std::size_t p = 0; p < 3; ++p) {
    const bool missing = std::any_of(d.findings.begin(), d.findings.end(), [&](const Finding& f) {
      return f.check == Check::kVoltageMissing && f.phase == kPhaseNames[p];
    });
    if (!missing) keep_worst(voltage_deviation_, d.voltage_deviation[p], kPhaseNames[p], round);
  }
  keep_worst(frequency_deviation_, d.frequency_deviation, "", round);
  // A missing current is its own finding: the unbalance it makes says nothing more.
  if (!d.has(Check::kCurrentMissing))
    keep_worst(current_unbalance_, d.current_unbalance, "", round);
  if (d.unbalance_judged) {
    keep_worst(voltage_unbalance_, d.voltage_unbalance, "", round);
    unbalances_.push_back(d.voltage_unbalance);
  }
}

CheckState RunDiagnosis::state(Check check) const {
  if (judged_ == 0) return CheckState::kNotJudged;
  const Over& over = checks_[static_cast<std::size_t>(check)];
  switch (check) {
    case Check::kCurrentMissing:
    case Check::kCurrentUnbalance:
      return over.rounds > 0 ? CheckState::kNote : CheckState::kPassed;
    case Check::kVoltageUnbalance: {
      if (unbalances_.empty()) return CheckState::kNotJudged;
      std::vector<double> sorted = unbalances_;
      std::sort(sorted.begin(), sorted.end());
      // GB/T 15543-2008: the 95 % value within the limit, the largest within the short-time one.
      const double p95 = sorted[static_cast<std::size_t>(
          std::ceil(0.95 * static_cast<double>(sorted.size())) - 1)];
      return p95 > kVoltageUnbalanceLimit || sorted.back() > kVoltageUnbalanceShortTime
                 ? CheckState::kAttention
                 : CheckState::kPassed;
    }
    case Check::kFrequencyDeviation:
      if (std::isnan(frequency_deviation_.value)) return CheckState::kNotJudged;
      return over.rounds > 0 ? CheckState::kAttention : CheckState::kPassed;
    default:
      return over.rounds > 0 ? CheckState::kAttention : CheckState::kPassed;
  }
}

bool RunDiagnosis::clear() const {
  for (int c = 0; c < kCheckCount; ++c) {
    if (state(static_cast<Check>(c)) == CheckState::kAttention) return false;
  }
  return true;
}

std::string RunDiagnosis::worst_text(Check check) const {
  const Over& over = checks_[static_cast<std::size_t>(check)];
  const Worst* figure = check == Check::kVoltageDeviation     ? &voltage_deviation_
                        : check == Check::kFrequencyDeviation ? &frequency_deviation_
                        : check == Check::kVoltageUnbalance   ? &voltage_unbalance_
                        : check == Check::kCurrentUnbalance   ? &current_unbalance_
                                                              : nullptr;
  if (figure != nullptr) {
    if (std::isnan(figure->value)) return _("no round judged");
    std::string text = figure->phase.empty()
                           ? format(_("worst %s in round %ld"),
                                    figure_text(check, figure->value).c_str(), figure->round)
                           : format(_("worst %s on phase %s in round %ld"),
                                    figure_text(check, figure->value).c_str(),
                                    figure->phase.c_str(), figure->round);
    if (over.rounds > 0) {
      text += _("; ") + format(P_("beyond the limit in %ld round", "beyond the limit in %ld rounds",
                                  static_cast<unsigned long>(over.rounds)),
                               over.rounds);
    }
    return text;
  }
  if (judged_ == 0) return _("no round judged");
  if (over.rounds == 0) {
    return format(P_("nothing found in %ld round", "nothing found in %ld rounds",
                     static_cast<unsigned long>(judged_)),
                  judged_);
  }
  return format(_("%s in round %ld; found in %ld of %ld rounds"),
                finding_brief(over.worst, true, false).c_str(), over.worst_round, over.rounds,
                judged_);
}

std::vector<CheckRow> RunDiagnosis::rows() const {
  std::vector<CheckRow> rows;
  for (int c = 0; c < kCheckCount; ++c) {
    const Check check = static_cast<Check>(c);
    CheckRow row;
    row.check = check;
    row.state = state(check);
    row.name = check_name(check);
    row.limit = limit_text(check, basis_);
    row.worst = worst_text(check);
    const Over& over = checks_[static_cast<std::size_t>(c)];
    if (over.rounds > 0) row.cause = finding_text(over.worst, true);
    rows.push_back(std::move(row));
  }
  return rows;
}

void MetersDiagnosis::print(std::FILE* out, const std::vector<int>& slaves) const {
  for (const int slave : slaves) {
    const auto it = meters_.find(slave);
    if (it != meters_.end()) print_run_diagnosis(out, slave, it->second);
  }
}

void print_run_diagnosis(std::FILE* out, int slave, const RunDiagnosis& d) {
  const DiagnosisBasis& b = d.basis();
  std::fprintf(out, "%s\n",
               format(_("Wiring and supply quality, slave %d (nominal %g V, %g Hz; %ld rounds "
                        "judged)"),
                      slave, b.nominal_voltage, b.nominal_frequency, d.judged_rounds())
                   .c_str());
  constexpr std::size_t kIdWidth = 20, kStateWidth = 16;
  for (const CheckRow& row : d.rows()) {
    std::fprintf(out, "  %s %s %s\n", qxi18n::pad_to_width(check_id(row.check), kIdWidth).c_str(),
                 qxi18n::pad_to_width(state_label(row.state), kStateWidth).c_str(),
                 format(_("%s: %s"), row.name.c_str(), row.worst.c_str()).c_str());
    std::fprintf(out, "  %s %s\n", qxi18n::pad_to_width("", kIdWidth + kStateWidth + 1).c_str(),
                 format(_("limit: %s"), row.limit.c_str()).c_str());
    if (!row.cause.empty()) {
      std::fprintf(out, "  %s %s\n", qxi18n::pad_to_width("", kIdWidth + kStateWidth + 1).c_str(),
                   row.cause.c_str());
    }
  }
  std::fflush(out);
}

}  // namespace qxbench
