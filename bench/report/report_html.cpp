#include "report_html.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include <json/writer.h>

#include "alarm.h"
#include "qxcore/failures.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "report_assets.h"
#include "report_charts.h"
#include "report_diagnosis.h"
#include "report_verdict.h"
#include "round_format.h"

namespace qxbench {
namespace {

constexpr std::size_t kListedFailures = 20;
constexpr std::size_t kListedAlarmChanges = 50;

std::string ms_text(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

/// "20 rounds" in the run's language.
std::string rounds_text(long n) {
  return qxcore::format(P_("%ld round", "%ld rounds", static_cast<unsigned long>(n)), n);
}

std::string row(const std::string& head, const std::string& html) {
  return "<tr><th>" + html_escape(head) + "</th><td>" + html + "</td></tr>\n";
}

std::string check_row(const char* head, bool good, const std::string& text) {
  return std::string("<tr><th>") + html_escape(head) + "</th><td class=\"check " +
         (good ? "pass" : "bad") + "\">" + (good ? "&#10004;" : "&#10008;") + "</td><td>" +
         html_escape(text) + "</td></tr>\n";
}

std::string published_text(const MeterVerdict& v) {
  std::string text =
      qxcore::format(_("%ld of %s published"), v.published, rounds_text(v.rounds).c_str());
  for (std::size_t i = 0; i < v.failures.size(); ++i) {
    const long n = v.failures[i].second;
    text += std::string(i == 0 ? _("; ") : _(", ")) +
            qxcore::format(P_("%s in %ld round", "%s in %ld rounds", static_cast<unsigned long>(n)),
                           qxcore::failure_label(v.failures[i].first.c_str()), n);
  }
  if (v.cache) text += std::string(_("; ")) + _("the cached record was restored first");
  return text;
}

std::string values_text(const MeterVerdict& v) {
  if (v.plausible()) return _("every published round within the plausible ranges");
  std::string text =
      qxcore::format(_("%s outside them: "), rounds_text(v.implausible_rounds).c_str());
  for (std::size_t i = 0; i < v.implausible.size(); ++i) {
    const ImplausibleValue& value = v.implausible[i];
    text += (i == 0 ? "" : _("; ")) + qxcore::format(_("%s (first in round %ld, %s)"),
                                                     value.first_warning.c_str(), value.first_round,
                                                     rounds_text(value.rounds).c_str());
  }
  return text;
}

std::string alarm_text(const MeterVerdict& v) {
  const std::string name = qx7540pm::kAlarmName;
  if (v.alarm_reports == 0) return _("no alarm reports (the device checks only with b_mode 1)");
  const std::string reports =
      qxcore::format(P_("%ld report", "%ld reports", static_cast<unsigned long>(v.alarm_reports)),
                     v.alarm_reports);
  if (v.alarm_clear())
    return qxcore::format(_("%s normal in all %s"), name.c_str(), reports.c_str());
  std::string text =
      qxcore::format(_("%s raised in %ld of %s"), name.c_str(), v.alarm_rounds, reports.c_str());
  for (const AlarmChange& change : v.alarm_changes) {
    if (!change.raised) continue;
    text += qxcore::format(_(", first in round %ld at %s"), change.round, change.time.c_str());
    break;
  }
  return text + (v.final_alarm == AlarmState::kAlarm ? _("; still raised at the end")
                                                     : _("; normal at the end"));
}

std::string round_time_text(const MeterVerdict& v, double wire_minimum_ms,
                            const std::string& wire_note) {
  std::string text;
  if (v.timed_good == 0) {
    text = _("no round times recorded");
  } else {
    text = qxcore::format(
        _("mean %s over %s (min %s, median %s, 95 %% %s, max %s)"), ms_text(v.mean_good_ms).c_str(),
        qxcore::format(
            P_("%ld good round", "%ld good rounds", static_cast<unsigned long>(v.timed_good)),
            v.timed_good)
            .c_str(),
        ms_text(v.min_good_ms).c_str(), ms_text(v.median_good_ms).c_str(),
        ms_text(v.p95_good_ms).c_str(), ms_text(v.max_good_ms).c_str());
  }
  if (wire_minimum_ms >= 0) {
    text += qxcore::format(_("; wire minimum %s"), ms_text(wire_minimum_ms).c_str());
  }
  return wire_note.empty() ? text : qxcore::format(_("%s (%s)"), text.c_str(), wire_note.c_str());
}

std::string failure_list(const RecordedMeter& meter, const MeterVerdict& v) {
  if (v.failures.empty()) return std::string();
  std::string html = "<h3>" + html_escape(_("Failed rounds")) +
                     "</h3>\n<table class=\"list\"><tr><th>" +
                     html_escape(C_("table heading", "round")) + "</th><th>" +
                     html_escape(C_("table heading", "time")) + "</th><th>" +
                     html_escape(C_("table heading", "failure")) + "</th></tr>\n";
  std::size_t listed = 0;
  for (const RecordedRound& r : meter.rounds) {
    if (r.ok || r.round == 0) continue;
    if (listed++ == kListedFailures) break;
    html += "<tr class=\"failure\"><td>" + std::to_string(r.round) + "</td><td>" +
            html_escape(r.time) + "</td><td>" +
            html_escape(qxcore::failure_label(r.failure.c_str())) + "</td></tr>\n";
  }
  html += "</table>\n";
  const long failed = v.rounds - v.published;
  if (failed > static_cast<long>(kListedFailures)) {
    html += "<p class=\"note\">" +
            html_escape(qxcore::format(_("The first %zu of %ld failed rounds; the CSV has every "
                                         "round."),
                                       kListedFailures, failed)) +
            "</p>\n";
  }
  return html;
}

std::string alarm_list(const MeterVerdict& v) {
  if (v.alarm_changes.empty()) return std::string();
  std::string html = "<h3>" + html_escape(_("Alarm changes")) +
                     "</h3>\n<table class=\"list\"><tr><th>" +
                     html_escape(C_("table heading", "round")) + "</th><th>" +
                     html_escape(C_("table heading", "time")) + "</th><th>" +
                     html_escape(C_("table heading", "change")) + "</th><th>" +
                     html_escape(C_("table heading", "device's text")) + "</th></tr>\n";
  for (std::size_t i = 0; i < v.alarm_changes.size() && i < kListedAlarmChanges; ++i) {
    const AlarmChange& c = v.alarm_changes[i];
    html += "<tr class=\"alarm-change\"><td>" + std::to_string(c.round) + "</td><td>" +
            html_escape(c.time) + "</td><td>" +
            html_escape(c.raised ? C_("alarm change", "raised") : C_("alarm change", "cleared")) +
            "</td><td>" + html_escape(c.text) + "</td></tr>\n";
  }
  html += "</table>\n";
  if (v.alarm_changes.size() > kListedAlarmChanges) {
    html += "<p class=\"note\">" +
            html_escape(qxcore::format(_("The first %zu of %zu changes."), kListedAlarmChanges,
                                       v.alarm_changes.size())) +
            "</p>\n";
  }
  return html;
}

std::string meter_section(std::size_t index, const RecordedRun& run, const MeterVerdict& v,
                          const MeterDiagnosis& diagnosis) {
  const RecordedMeter& meter = run.meters[index];
  const bool passed = v.passed();
  std::string html = "<section class=\"meter\" id=\"meter-" + std::to_string(index) + "\">\n";
  html += "<h2>" + html_escape(qxcore::format(_("Slave %d"), v.slave) + _(": ")) +
          "<span class=\"verdict " + (passed ? "pass\">" : "attention\">") +
          html_escape(passed ? C_("verdict", "passed") : C_("verdict", "needs attention")) +
          "</span></h2>\n";
  html += "<table class=\"facts checks\">\n";
  html += check_row(_("Every round published"), v.all_published(), published_text(v));
  html += check_row(_("Values plausible"), v.plausible(), values_text(v));
  html += check_row(C_("check", "Alarm"), v.alarm_clear(), alarm_text(v));
  html += check_row(_("Wiring and supply quality"), v.diagnosis_clear,
                    diagnosis_verdict_text(diagnosis.run));
  html += "<tr><th>" + html_escape(_("Round time")) + "</th><td></td><td>" +
          html_escape(round_time_text(v, run.wire_minimum_ms, run.wire_note)) +
          "</td></tr>\n</table>\n";
  html += failure_list(meter, v) + alarm_list(v) + diagnosis_html(run, diagnosis.run);
  html += "<div class=\"charts\" id=\"charts-" + std::to_string(index) + "\"></div>\n</section>\n";
  return html;
}

std::string or_not_recorded(const std::string& text) {
  return text.empty()
             ? "<span class=\"note\">" + html_escape(_("not recorded in the CSV")) + "</span>"
             : html_escape(text);
}

std::string run_facts(const RecordedRun& run, const std::vector<MeterVerdict>& verdicts) {
  std::string slaves, rounds;
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    slaves += (i == 0 ? "" : _(", ")) + std::to_string(verdicts[i].slave);
    // One meter: the count alone; several: each meter's named.
    rounds += verdicts.size() == 1 ? std::to_string(verdicts[i].rounds)
                                   : (i == 0 ? "" : _("; ")) +
                                         qxcore::format(_("slave %d: %s"), verdicts[i].slave,
                                                        rounds_text(verdicts[i].rounds).c_str());
  }
  std::string plugin;
  if (!run.plugin_path.empty()) {
    // The build-id in code type: the sentence is escaped, the span put round the id after.
    const std::string id = run.plugin_build_id.empty() ? C_("build-id", "none") : "\x01";
    plugin = html_escape(qxcore::format(_("%s; version %s; build-id %s"), run.plugin_path.c_str(),
                                        run.plugin_version.c_str(), id.c_str()));
    const std::size_t at = plugin.find('\x01');
    if (at != std::string::npos) {
      plugin.replace(at, 1, "<span class=\"code\">" + html_escape(run.plugin_build_id) + "</span>");
    }
  }
  std::string html = "<table class=\"facts run\">\n";
  html += row(_("Source"), html_escape(run.source));
  html += row(C_("run fact", "Link"), or_not_recorded(run.link));
  if (!run.polling.empty()) html += row(C_("run fact", "Polling"), html_escape(run.polling));
  html += row(_("Plug-in"), plugin.empty() ? or_not_recorded("") : plugin);
  html += row(verdicts.size() == 1 ? C_("run fact", "Meter") : _("Meters"),
              html_escape(qxcore::format(_("slave %s"), slaves.c_str())));
  html += row(_("Started"), or_not_recorded(run.started));
  html += row(_("Ended"), or_not_recorded(run.ended) +
                              (run.interrupted ? html_escape(_(" (interrupted)")) : ""));
  html += row(_("Rounds"), html_escape(rounds));
  return html + "</table>\n";
}

/// "slave 1, 20 rounds, 2026-12-08 16:00:58 to 16:01:17".
std::string subtitle(const RecordedRun& run, const std::vector<MeterVerdict>& verdicts) {
  std::string text;
  if (verdicts.size() == 1) {
    text = qxcore::format(_("slave %d, %s"), verdicts[0].slave,
                          rounds_text(verdicts[0].rounds).c_str());
  } else if (!verdicts.empty()) {
    text = qxcore::format(P_("%zu meter, %s each", "%zu meters, %s each", verdicts.size()),
                          verdicts.size(), rounds_text(verdicts[0].rounds).c_str());
  }
  if (!run.started.empty()) {
    const bool same_day =
        run.ended.size() > 11 && run.ended.compare(0, 10, run.started, 0, 10) == 0;
    text += _(", ") + qxcore::format(_("%s to %s"), run.started.c_str(),
                                     (same_day ? run.ended.substr(11) : run.ended).c_str());
  }
  return text;
}

/// The page script's own words in the run's language, by their English text
/// (the script's tr()); none in English, where the script keeps its own.
Json::Value page_texts() {
  Json::Value texts(Json::objectValue);
  if (qxi18n::language() == "en") return texts;
  static const char* const kTexts[] = {
      N_("round, local time"),
      N_("round {0}"),
      N_("Failures by kind"),
      N_("Failures by kind (per bucket of rounds)"),
      N_("wire minimum {0} ms"),
      N_("mean {0} ms"),
      N_("{0} to {1} ms"),
      N_("round time, ms"),
      N_("Round time of the good rounds"),
      N_("alarm raised"),
      N_("alarm cleared"),
      N_("No round failed."),
      N_("Round time"),
      N_("No round time was recorded (a CSV without the round_ms column)."),
  };
  for (const char* text : kTexts) texts[text] = qxi18n::translate(text);
  texts["good rounds"] = C_("chart legend", "good rounds");
  texts["rounds"] = C_("chart axis", "rounds");
  for (const qxcore::FailureKind& kind : qxcore::kFailureKinds) {
    texts[kind.name] = qxcore::failure_label(kind.name);
  }
  return texts;
}

/// JSON inside a script element: no "<" may end the element early.
std::string script_safe(const std::string& json) {
  std::string text;
  text.reserve(json.size());
  for (char c : json) {
    if (c == '<') {
      text += "\\u003c";
    } else {
      text += c;
    }
  }
  return text;
}

std::string chart_js_version() {
  const std::string_view js = chart_js();
  const auto at = js.find("Chart.js v");
  if (at == std::string_view::npos) return "Chart.js";
  return std::string(js.substr(at, js.find_first_of(" \n", at + 9) - at));
}

}  // namespace

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

/// The banner under the heading: whether every meter passed.
std::string verdict_banner(long passed, long total) {
  std::string body;
  body += std::string("<div class=\"banner ") +
          (passed == total && total > 0 ? "pass" : "attention") + "\" id=\"overall\">";
  if (total == 0) {
    body += html_escape(_("No rounds recorded."));
  } else if (total == 1) {
    body += html_escape(passed == 1 ? _("Verdict: pass") : _("Verdict: needs attention"));
  } else if (passed == total) {
    body += html_escape(qxcore::format(_("Verdict: all %ld meters pass"), total));
  } else {
    body += html_escape(qxcore::format(
        P_("Verdict: %ld of %ld meters needs attention",
           "Verdict: %ld of %ld meters need attention", static_cast<unsigned long>(total - passed)),
        total - passed, total));
  }
  return body;
}

/// The page template with its slots filled in.
std::string fill_page(const std::string (&slots)[5][2], std::size_t body_size) {
  // One pass over the template: what goes into a slot is never searched again.
  const std::string_view page = report_page();
  std::string html;
  html.reserve(page.size() + chart_js().size() + body_size + 1024 * 1024);
  for (std::size_t pos = 0; pos < page.size();) {
    const std::size_t at = page.find("@QX_", pos);
    if (at == std::string_view::npos) {
      html.append(page.substr(pos));
      break;
    }
    html.append(page.substr(pos, at - pos));
    pos = at;
    bool filled = false;
    for (const auto& slot : slots) {
      if (page.compare(at, slot[0].size(), slot[0]) == 0) {
        html += slot[1];
        pos += slot[0].size();
        filled = true;
        break;
      }
    }
    if (!filled) {
      html += '@';
      ++pos;
    }
  }
  return html;
}

}  // namespace

std::string report_html(const RecordedRun& run) {
  std::vector<MeterVerdict> verdicts;
  std::vector<MeterDiagnosis> diagnoses;
  Json::Value data(Json::objectValue);
  data["meters"] = Json::Value(Json::arrayValue);
  for (const RecordedMeter& meter : run.meters) {
    verdicts.push_back(judge_meter(meter));
    diagnoses.push_back(diagnose_meter(meter, run.basis));
    verdicts.back().diagnosis_clear = diagnoses.back().run.clear();
    Json::Value charts = meter_chart_data(meter, verdicts.back(), run.wire_minimum_ms);
    for (Json::Value& chart : charts["charts"]) {
      if (chart["id"].asString() == "frequency") chart["limits"] = frequency_limits(run.basis);
    }
    for (const Json::Value& chart : diagnoses.back().charts) charts["charts"].append(chart);
    data["meters"].append(std::move(charts));
  }
  data["texts"] = page_texts();
  data["kinds"] = Json::Value(Json::objectValue);
  for (const qxcore::FailureKind& kind : qxcore::kFailureKinds)
    data["kinds"][kind.name] = kind.colour;
  long passed = 0;
  for (const MeterVerdict& v : verdicts) passed += v.passed() ? 1 : 0;
  const long total = static_cast<long>(verdicts.size());
  std::string body = "<header>\n<h1>" + html_escape(_("Commissioning report: qx7540pm")) +
                     "</h1>\n<p class=\"sub\">" + html_escape(subtitle(run, verdicts)) + "</p>\n";
  body += verdict_banner(passed, total);
  body += "</div>\n</header>\n<section class=\"run\">\n<h2>" + html_escape(_("Run")) + "</h2>\n" +
          run_facts(run, verdicts) + "</section>\n";
  for (std::size_t i = 0; i < run.meters.size(); ++i) {
    body += meter_section(i, run, verdicts[i], diagnoses[i]);
  }
  body += "<footer>" +
          html_escape(qxcore::format(
              _("Made by qx7540pm-bench %s at %s. Charts drawn with %s (MIT licence), inlined in "
                "this file."),
              QX_PROJECT_VERSION, qxcore::local_time_now().c_str(), chart_js_version().c_str())) +
          "</footer>\n";

  const std::string title =
      run.started.empty()
          ? std::string(_("qx7540pm commissioning report"))
          : qxcore::format(_("qx7540pm commissioning report, %s"), run.started.c_str());
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  const std::string slots[][2] = {
      {"@QX_LANG@", qxi18n::html_lang()},
      {"@QX_TITLE@", html_escape(title)},
      {"@QX_BODY@", body},
      {"@QX_DATA@", script_safe(Json::writeString(writer, data))},
      {"@QX_CHART_JS@", std::string(chart_js())},
  };
  return fill_page(slots, body.size());
}

bool write_report(const RecordedRun& run, OutputFile& file, std::string& error) {
  file.write(report_html(run));
  return file.commit(error);
}

}  // namespace qxbench
