#include "report_diagnosis.h"

#include <array>
#include <cmath>
#include <vector>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "register_map.h"
#include "report_charts.h"
#include "report_html.h"

namespace qxbench {
namespace {

using qxcore::format;

Json::Value limit_line(double y, const std::string& label) {
  Json::Value line(Json::objectValue);
  line["y"] = y;
  line["label"] = label;
  return line;
}

Json::Value series(const std::string& label, Json::Value points) {
  Json::Value s(Json::objectValue);
  s["label"] = label;
  s["points"] = std::move(points);
  return s;
}

Json::Value chart(const char* id, const std::string& title) {
  Json::Value c(Json::objectValue);
  c["id"] = id;
  c["title"] = title;
  c["unit"] = "%";
  c["series"] = Json::Value(Json::arrayValue);
  c["limits"] = Json::Value(Json::arrayValue);
  return c;
}

const char* mark_of(CheckState state) {
  switch (state) {
    case CheckState::kPassed:
      return "<td class=\"check pass\">&#10004;</td>";
    case CheckState::kAttention:
      return "<td class=\"check bad\">&#10008;</td>";
    case CheckState::kNote:
      return "<td class=\"check note\">i</td>";
    default:
      return "<td class=\"check note\">&#8211;</td>";
  }
}

}  // namespace

MeterDiagnosis diagnose_meter(const RecordedMeter& meter, const DiagnosisBasis& basis) {
  MeterDiagnosis result{RunDiagnosis(basis), Json::Value(Json::arrayValue)};
  DiagnosisMemory memory;
  std::array<std::vector<double>, 3> deviation;
  std::vector<double> voltage_unbalance, current_unbalance;
  for (const RecordedRound& round : meter.rounds) {
    RoundDiagnosis d;
    if (round.ok) {
      d = diagnose_round(readings_of(round), basis, round.alarm == AlarmState::kAlarm, memory);
      result.run.add(round.round, d);
    }
    for (std::size_t p = 0; p < 3; ++p) deviation[p].push_back(d.voltage_deviation[p]);
    // Drawn where judged: a wiring fault's figures are not the supply's.
    voltage_unbalance.push_back(d.unbalance_judged ? d.voltage_unbalance : NAN);
    current_unbalance.push_back(d.has(Check::kCurrentMissing) ? NAN : d.current_unbalance);
  }
  Json::Value voltage = chart("voltage_deviation", _("Supply voltage deviation"));
  for (std::size_t p = 0; p < 3; ++p) {
    const int row = qx7540pm::register_index(qx7540pm::QuantityKind::kPhaseVoltage,
                                             static_cast<qx7540pm::PhaseGroup>(p));
    voltage["series"].append(
        series(qx7540pm::kRegisterMap[row].key, round_series(meter, deviation[p])));
  }
  for (const double sign : {1.0, -1.0}) {
    voltage["limits"].append(
        limit_line(sign * kVoltageDeviationLimit,
                   format("%+.0f %% (GB/T 12325-2008)", sign * kVoltageDeviationLimit)));
  }
  Json::Value unbalance = chart("unbalance", _("Voltage and current unbalance"));
  unbalance["series"].append(
      series(_("voltage unbalance"), round_series(meter, voltage_unbalance)));
  unbalance["series"].append(
      series(_("current unbalance"), round_series(meter, current_unbalance)));
  unbalance["limits"].append(
      limit_line(kVoltageUnbalanceLimit,
                 format(_("%.0f %% (GB/T 15543-2008, normal operation)"), kVoltageUnbalanceLimit)));
  unbalance["limits"].append(
      limit_line(kVoltageUnbalanceShortTime,
                 format(_("%.0f %% (GB/T 15543-2008, short-time)"), kVoltageUnbalanceShortTime)));
  result.charts.append(std::move(voltage));
  result.charts.append(std::move(unbalance));
  return result;
}

Json::Value frequency_limits(const DiagnosisBasis& basis) {
  Json::Value limits(Json::arrayValue);
  for (const double sign : {1.0, -1.0}) {
    const double hz = basis.nominal_frequency + sign * basis.frequency_limit;
    limits.append(limit_line(hz, format("%g Hz (GB/T 15945-2008)", hz)));
  }
  return limits;
}

std::string diagnosis_html(const RecordedRun& run, const RunDiagnosis& d) {
  const DiagnosisBasis& b = d.basis();
  std::string html = "<h3>" + html_escape(_("Wiring and supply quality")) + "</h3>\n";
  const std::string basis =
      format(_("Judged from each published round's snapshot against the nominal %g V phase "
               "voltage (%.1f V line) and %g Hz."),
             b.nominal_voltage, b.nominal_voltage * std::sqrt(3.0), b.nominal_frequency);
  html += "<p class=\"note\">" + html_escape(basis);
  if (!run.basis_recorded) {
    html += " " + html_escape(_("The CSV holds no nominal values (it is older than the "
                                "diagnosis): the defaults are used."));
  }
  html += "</p>\n<table class=\"list diagnosis\"><tr><th>" +
          html_escape(C_("table heading", "check")) + "</th><th></th><th>" +
          html_escape(C_("table heading", "verdict")) + "</th><th>" +
          html_escape(C_("table heading", "limit")) + "</th><th>" +
          html_escape(C_("table heading", "worst")) + "</th></tr>\n";
  for (const CheckRow& row : d.rows()) {
    html += std::string("<tr class=\"diagnosis-check\" data-check=\"") + check_id(row.check) +
            "\"><td>" + html_escape(row.name) + " <span class=\"code\">" + check_id(row.check) +
            "</span></td>" + mark_of(row.state) + "<td>" + html_escape(state_label(row.state)) +
            "</td><td>" + html_escape(row.limit) + "</td><td>" + html_escape(row.worst);
    if (!row.cause.empty())
      html += "<br><span class=\"note\">" + html_escape(row.cause) + "</span>";
    html += "</td></tr>\n";
  }
  html += "</table>\n<p class=\"note\">" +
          html_escape(_("The meter's registers are unsigned: no sign is read, so a reversed "
                        "current transformer shows only as reverse energy, and a current "
                        "transformer on another phase only as a low power factor.")) +
          "</p>\n";
  return html;
}

std::string diagnosis_verdict_text(const RunDiagnosis& d) {
  if (d.judged_rounds() == 0) return _("no published round to judge");
  std::string checks;
  for (const CheckRow& row : d.rows()) {
    if (row.state != CheckState::kAttention) continue;
    checks += (checks.empty() ? "" : _(", ")) + row.name;
  }
  if (checks.empty()) return _("no wiring fault found; the supply within its limits");
  return format(_("needs attention: %s (see Wiring and supply quality)"), checks.c_str());
}

}  // namespace qxbench
