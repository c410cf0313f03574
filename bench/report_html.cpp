#include "report_html.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include <json/writer.h>

#include "alarm.h"
#include "report_assets.h"
#include "report_charts.h"
#include "report_verdict.h"

namespace qxbench {
namespace {

constexpr std::size_t kListedFailures = 20;
constexpr std::size_t kListedAlarmChanges = 50;
constexpr char kNotRecorded[] = "not recorded in the CSV";

std::string ms_text(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

std::string plural(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string row(const std::string& head, const std::string& html) {
  return "<tr><th>" + html_escape(head) + "</th><td>" + html + "</td></tr>\n";
}

std::string check_row(const char* head, bool good, const std::string& text) {
  return std::string("<tr><th>") + head + "</th><td class=\"check " + (good ? "pass" : "bad") +
         "\">" + (good ? "&#10004;" : "&#10008;") + "</td><td>" + html_escape(text) +
         "</td></tr>\n";
}

std::string published_text(const MeterVerdict& v) {
  std::string text =
      std::to_string(v.published) + " of " + plural(v.rounds, "round", "rounds") + " published";
  for (std::size_t i = 0; i < v.failures.size(); ++i) {
    text +=
        (i == 0 ? "; " : ", ") + std::to_string(v.failures[i].second) + " " + v.failures[i].first;
  }
  if (v.cache) text += "; the cached record was restored first";
  return text;
}

std::string values_text(const MeterVerdict& v) {
  if (v.plausible()) return "every published round within the plausible ranges";
  std::string text = plural(v.implausible_rounds, "round", "rounds") + " outside them: ";
  for (std::size_t i = 0; i < v.implausible.size(); ++i) {
    const ImplausibleValue& value = v.implausible[i];
    text += (i == 0 ? "" : "; ") + value.first_warning + " (first in round " +
            std::to_string(value.first_round) + ", " + plural(value.rounds, "round", "rounds") +
            ")";
  }
  return text;
}

std::string alarm_text(const MeterVerdict& v) {
  const std::string name = qx7540pm::kAlarmName;
  if (v.alarm_reports == 0) return "no alarm reports (the device checks only with b_mode 1)";
  if (v.alarm_clear())
    return name + " normal in all " + plural(v.alarm_reports, "report", "reports");
  std::string text = name + " raised in " + std::to_string(v.alarm_rounds) + " of " +
                     plural(v.alarm_reports, "report", "reports");
  for (const AlarmChange& change : v.alarm_changes) {
    if (!change.raised) continue;
    text += ", first in round " + std::to_string(change.round) + " at " + change.time;
    break;
  }
  return text + (v.final_alarm == AlarmState::kAlarm ? "; still raised at the end"
                                                     : "; normal at the end");
}

std::string round_time_text(const MeterVerdict& v, double wire_minimum_ms,
                            const std::string& wire_note) {
  std::string text;
  if (v.timed_good == 0) {
    text = "no round times recorded";
  } else {
    text = "mean " + ms_text(v.mean_good_ms) + " over " +
           plural(v.timed_good, "good round", "good rounds") + " (min " + ms_text(v.min_good_ms) +
           ", median " + ms_text(v.median_good_ms) + ", 95 % " + ms_text(v.p95_good_ms) + ", max " +
           ms_text(v.max_good_ms) + ")";
  }
  if (wire_minimum_ms >= 0) text += "; wire minimum " + ms_text(wire_minimum_ms);
  return wire_note.empty() ? text : text + " (" + wire_note + ")";
}

std::string failure_list(const RecordedMeter& meter, const MeterVerdict& v) {
  if (v.failures.empty()) return std::string();
  std::string html =
      "<h3>Failed rounds</h3>\n<table class=\"list\"><tr><th>round</th><th>time</th>"
      "<th>failure</th></tr>\n";
  std::size_t listed = 0;
  for (const RecordedRound& r : meter.rounds) {
    if (r.ok || r.round == 0) continue;
    if (listed++ == kListedFailures) break;
    html += "<tr class=\"failure\"><td>" + std::to_string(r.round) + "</td><td>" +
            html_escape(r.time) + "</td><td>" + html_escape(r.failure) + "</td></tr>\n";
  }
  html += "</table>\n";
  const long failed = v.rounds - v.published;
  if (failed > static_cast<long>(kListedFailures)) {
    html += "<p class=\"note\">The first " + std::to_string(kListedFailures) + " of " +
            std::to_string(failed) + " failed rounds; the CSV has every round.</p>\n";
  }
  return html;
}

std::string alarm_list(const MeterVerdict& v) {
  if (v.alarm_changes.empty()) return std::string();
  std::string html =
      "<h3>Alarm changes</h3>\n<table class=\"list\"><tr><th>round</th>"
      "<th>time</th><th>change</th><th>device's text</th></tr>\n";
  for (std::size_t i = 0; i < v.alarm_changes.size() && i < kListedAlarmChanges; ++i) {
    const AlarmChange& c = v.alarm_changes[i];
    html += "<tr class=\"alarm-change\"><td>" + std::to_string(c.round) + "</td><td>" +
            html_escape(c.time) + "</td><td>" + (c.raised ? "raised" : "cleared") + "</td><td>" +
            html_escape(c.text) + "</td></tr>\n";
  }
  html += "</table>\n";
  if (v.alarm_changes.size() > kListedAlarmChanges) {
    html += "<p class=\"note\">The first " + std::to_string(kListedAlarmChanges) + " of " +
            std::to_string(v.alarm_changes.size()) + " changes.</p>\n";
  }
  return html;
}

std::string meter_section(std::size_t index, const RecordedRun& run, const MeterVerdict& v) {
  const RecordedMeter& meter = run.meters[index];
  const bool passed = v.passed();
  std::string html = "<section class=\"meter\" id=\"meter-" + std::to_string(index) + "\">\n";
  html += "<h2>Slave " + std::to_string(v.slave) + ": <span class=\"verdict " +
          (passed ? "pass\">passed" : "attention\">needs attention") + "</span></h2>\n";
  html += "<table class=\"facts checks\">\n";
  html += check_row("Every round published", v.all_published(), published_text(v));
  html += check_row("Values plausible", v.plausible(), values_text(v));
  html += check_row("Alarm", v.alarm_clear(), alarm_text(v));
  html += "<tr><th>Round time</th><td></td><td>" +
          html_escape(round_time_text(v, run.wire_minimum_ms, run.wire_note)) +
          "</td></tr>\n</table>\n";
  html += failure_list(meter, v) + alarm_list(v);
  html += "<div class=\"charts\" id=\"charts-" + std::to_string(index) + "\"></div>\n</section>\n";
  return html;
}

std::string or_not_recorded(const std::string& text) {
  return text.empty() ? std::string("<span class=\"note\">") + kNotRecorded + "</span>"
                      : html_escape(text);
}

std::string run_facts(const RecordedRun& run, const std::vector<MeterVerdict>& verdicts) {
  std::string slaves, rounds;
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    slaves += (i == 0 ? "" : ", ") + std::to_string(verdicts[i].slave);
    rounds += (i == 0 ? "" : ", ") + std::to_string(verdicts[i].rounds);
  }
  std::string plugin;
  if (!run.plugin_path.empty()) {
    plugin = html_escape(run.plugin_path) + "; version " + html_escape(run.plugin_version) +
             "; build-id <span class=\"code\">" +
             (run.plugin_build_id.empty() ? "none" : html_escape(run.plugin_build_id)) + "</span>";
  }
  std::string html = "<table class=\"facts run\">\n";
  html += row("Source", html_escape(run.source));
  html += row("Link", or_not_recorded(run.link));
  if (!run.polling.empty()) html += row("Polling", html_escape(run.polling));
  html += row("Plug-in", plugin.empty() ? or_not_recorded("") : plugin);
  html += row(verdicts.size() == 1 ? "Meter" : "Meters", "slave " + slaves);
  html += row("Started", or_not_recorded(run.started));
  html += row("Ended", or_not_recorded(run.ended) + (run.interrupted ? " (interrupted)" : ""));
  html += row("Rounds", rounds + (verdicts.size() > 1 ? " (per meter, in the order above)" : ""));
  return html + "</table>\n";
}

/// "slave 1, 20 rounds, 2026-12-08 16:00:58 to 16:01:17".
std::string subtitle(const RecordedRun& run, const std::vector<MeterVerdict>& verdicts) {
  std::string text = verdicts.size() == 1 ? "slave " + std::to_string(verdicts[0].slave)
                                          : std::to_string(verdicts.size()) + " meters";
  if (!verdicts.empty()) text += ", " + plural(verdicts[0].rounds, "round", "rounds");
  if (verdicts.size() > 1) text += " each";
  if (!run.started.empty()) {
    const bool same_day =
        run.ended.size() > 11 && run.ended.compare(0, 10, run.started, 0, 10) == 0;
    text += ", " + run.started + " to " + (same_day ? run.ended.substr(11) : run.ended);
  }
  return text;
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

std::string report_html(const RecordedRun& run) {
  std::vector<MeterVerdict> verdicts;
  Json::Value data(Json::objectValue);
  data["meters"] = Json::Value(Json::arrayValue);
  for (const RecordedMeter& meter : run.meters) {
    verdicts.push_back(judge_meter(meter));
    data["meters"].append(meter_chart_data(meter, verdicts.back(), run.wire_minimum_ms));
  }
  long passed = 0;
  for (const MeterVerdict& v : verdicts) passed += v.passed() ? 1 : 0;
  const long total = static_cast<long>(verdicts.size());
  std::string body = "<header>\n<h1>Commissioning report: qx7540pm</h1>\n<p class=\"sub\">" +
                     html_escape(subtitle(run, verdicts)) + "</p>\n";
  body += std::string("<div class=\"banner ") +
          (passed == total && total > 0 ? "pass" : "attention") + "\" id=\"overall\">";
  if (total == 0) {
    body += "No rounds recorded.";
  } else if (total == 1) {
    body += passed == 1 ? "The meter passed." : "The meter needs attention.";
  } else if (passed == total) {
    body += "All " + std::to_string(total) + " meters passed.";
  } else {
    body += std::to_string(total - passed) + " of " + std::to_string(total) + " meters " +
            (total - passed == 1 ? "needs" : "need") + " attention.";
  }
  body += "</div>\n</header>\n<section class=\"run\">\n<h2>Run</h2>\n" + run_facts(run, verdicts) +
          "</section>\n";
  for (std::size_t i = 0; i < run.meters.size(); ++i) {
    body += meter_section(i, run, verdicts[i]);
  }
  body += "<footer>Made by qx7540pm-bench " QX_PROJECT_VERSION " at " + local_time_now() +
          ". Charts drawn with " + html_escape(chart_js_version()) +
          " (MIT licence), inlined in this file.</footer>\n";

  const std::string title =
      "qx7540pm commissioning report" + (run.started.empty() ? "" : ", " + run.started);
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  const std::string slots[][2] = {
      {"@QX_TITLE@", html_escape(title)},
      {"@QX_BODY@", body},
      {"@QX_DATA@", script_safe(Json::writeString(writer, data))},
      {"@QX_CHART_JS@", std::string(chart_js())},
  };
  // One pass over the template: what goes into a slot is never searched again.
  const std::string_view page = report_page();
  std::string html;
  html.reserve(page.size() + chart_js().size() + body.size() + 1024 * 1024);
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

bool write_report(const RecordedRun& run, OutputFile& file, std::string& error) {
  file.write(report_html(run));
  return file.commit(error);
}

}  // namespace qxbench
