#include "scan_output.h"

#include <cmath>

#include <cctype>

#include "qx7540pm_data.h"
#include "qxcore/failures.h"
#include "qxcore/line_setting.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "report.h"

namespace qxbench {
namespace {

constexpr int kBarWidth = 24;

const char* answer_name(Answer answer) {
  switch (answer) {
    case Answer::kReply:
      return "reply";
    case Answer::kException:
      return "exception";
    case Answer::kGarbled:
      return "garbled";
    case Answer::kNone:
      break;
  }
  return "none";
}

/// Single quotes around an argument the shell would split or expand.
std::string shell_word(const std::string& word) {
  bool plain = !word.empty();
  for (char c : word) {
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                      std::string("/._-:+=,@").find(c) != std::string::npos);
  }
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

/// A message for people in the run's language, else as it is (English for --json).
using qxcore::words;

/// The verdict on a responder: in English for --json, in the run's language `for_people`.
std::string verdict_of(const Probe& probe, bool for_people) {
  if (probe.meter) return words(for_people, N_("looks like this meter"));
  const int first = QX7540PM_BLOCK1_START, first_end = first + QX7540PM_BLOCK1_COUNT - 1;
  const int second = QX7540PM_BLOCK2_START, second_end = second + QX7540PM_BLOCK2_COUNT - 1;
  if (probe.answer == Answer::kException) {
    return qxcore::format(
        words(for_people, N_("not this meter: answers registers %d..%d with exception %d")), first,
        first_end, probe.failure.exception_code);
  }
  if (!probe.published) {
    if (!probe.second_failed) {
      return qxcore::format(
          words(for_people,
                N_("not this meter: answers registers %d..%d but not registers %d..%d")),
          first, first_end, second, second_end);
    }
    const char* failure = zelfw::failure_name(probe.failure.kind);
    return qxcore::format(
        words(for_people,
              N_("not this meter: answers registers %d..%d but not registers %d..%d (%s)")),
        first, first_end, second, second_end,
        for_people ? qxcore::failure_label(failure) : failure);
  }
  std::string text;
  for (std::size_t i = 0; i < probe.warnings.size(); ++i) {
    text += (i > 0 ? words(for_people, N_("; ")) : "") + probe.warnings[i].text(for_people);
  }
  return qxcore::format(words(for_people, N_("not this meter: %s")), text.c_str());
}

std::string duration_text(double seconds) {
  const long s = std::lround(seconds);
  char text[32];
  if (s >= 60) {
    std::snprintf(text, sizeof text, _("%ldm %02lds"), s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, _("%lds"), s);
  }
  return text;
}

}  // namespace

std::string CommandLine::poll(int slave, const LineSetting& s) const {
  std::string command = shell_word(bench);
  const auto add = [&command](const std::string& option, const std::string& value) {
    command += " " + option + " " + shell_word(value);
  };
  if (!plugin.empty()) add("--plugin", plugin);
  if (!tcp.empty()) {
    add("--tcp", tcp);
    add("--slave", std::to_string(slave));
    return command;
  }
  if (!port.empty()) add("--port", port);
  add("--slave", std::to_string(slave));
  add("--baud", std::to_string(s.baud));
  add("--parity", std::string(1, s.parity));
  add("--data-bits", std::to_string(s.data_bits));
  add("--stop-bits", std::to_string(s.stop_bits));
  if (sim != nullptr) {
    // The built-in simulator as the scan had it; its slave id follows --slave.
    if (!sim->profile_path.empty()) add("--sim-profile", sim->profile_path);
    if (sim->line_baud != 0) add("--sim-baud", std::to_string(sim->line_baud));
    if (!sim->format.empty()) add("--sim-format", sim->format);
    if (sim->slave != 0) add("--sim-slave", std::to_string(sim->slave));
  }
  return command;
}

ScanReporter::ScanReporter(std::FILE* out, bool json, bool terminal, std::size_t settings,
                           std::size_t ids)
    : out_(out), json_(json), terminal_(terminal), settings_(settings), ids_(ids) {}

void ScanReporter::begin_setting(const std::string& line) {
  ++setting_;
  in_setting_ = 0;
  line_ = line;
  if (json_) return;
  if (!terminal_) {
    qxcore::say(qxcore::format(_("scan: %s (setting %zu of %zu), %zu ids"), line.c_str(), setting_,
                               settings_, ids_));
    return;
  }
  draw(-1);
}

void ScanReporter::advance(double elapsed_s) {
  ++done_;
  ++in_setting_;
  if (terminal_ && !json_) draw(elapsed_s);
}

void ScanReporter::draw(double elapsed_s) {
  const std::size_t total = settings_ * ids_;
  const int filled = total == 0 ? 0 : static_cast<int>(kBarWidth * done_ / total);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kBarWidth, '.');
  std::string left = "?";
  if (elapsed_s > 0 && done_ > 0) left = duration_text(elapsed_s / done_ * (total - done_));
  std::fprintf(stderr, "\r\033[K[%s] %s  %s", bar.c_str(), line_.c_str(),
               qxcore::format(_("setting %zu/%zu  %zu ids left  ~%s left"), setting_, settings_,
                              ids_ - in_setting_, left.c_str())
                   .c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ScanReporter::end_progress() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

void ScanReporter::show_responder(int slave, const std::string& line, const LineSetting* setting,
                                  const Probe& probe, const std::string& command) {
  if (json_) {
    Json::Value o(Json::objectValue);
    o["slave"] = slave;
    o["line"] = line;
    o["baud"] = setting != nullptr ? Json::Value(setting->baud) : Json::Value();
    o["format"] =
        setting != nullptr ? Json::Value(qxcore::frame_format_name(*setting)) : Json::Value();
    o["answer"] = answer_name(probe.answer);
    if (probe.answer == Answer::kException) o["exception_code"] = probe.failure.exception_code;
    o["meter"] = probe.meter;
    o["verdict"] = verdict_of(probe, false);
    o["warnings"] = Json::Value(Json::arrayValue);
    for (const qxcore::Message& w : probe.warnings) o["warnings"].append(w.english());
    o["snapshot"] = probe.published ? probe.snapshot : Json::Value();
    o["command"] = command.empty() ? Json::Value() : Json::Value(command);
    if (!probe.trace.empty()) {
      Json::Value& trace = o["trace"] = Json::Value(Json::arrayValue);
      for (const TracedFrame& f : probe.trace) trace.append(frame_json(f));
    }
    std::fprintf(out_, "%s\n", compact_json(o).c_str());
  } else {
    const bool bar = drawn_;
    end_progress();
    std::fprintf(
        out_, "%s\n",
        qxcore::format(_("slave %d  %s  %s"), slave, line.c_str(), verdict_of(probe, true).c_str())
            .c_str());
    if (!command.empty()) {
      std::fprintf(out_, "  %s\n", qxcore::format(_("poll it: %s"), command.c_str()).c_str());
    }
    std::fflush(out_);
    if (bar) draw(-1);
  }
  std::fflush(out_);
}

void ScanReporter::show_trace(int slave, const std::vector<TracedFrame>& frames) {
  if (json_ || frames.empty()) return;
  const bool bar = drawn_;
  end_progress();
  for (const TracedFrame& f : frames) {
    std::fprintf(out_, "%s\n",
                 qxcore::format(_("slave %d  %s"), slave, frame_text(f).c_str()).c_str());
  }
  std::fflush(out_);
  if (bar) draw(-1);
}

void ScanReporter::show_summary(const ScanSummary& s) {
  if (json_) {
    Json::Value o(Json::objectValue);
    o["settings"] = static_cast<Json::Int64>(s.settings);
    o["settings_tried"] = static_cast<Json::Int64>(s.settings_tried);
    o["probes"] = static_cast<Json::Int64>(s.probes);
    o["responders"] = static_cast<Json::Int64>(s.responders);
    o["meters"] = static_cast<Json::Int64>(s.meters);
    o["garbled"] = static_cast<Json::Int64>(s.garbled);
    o["elapsed_ms"] = static_cast<Json::Int64>(std::llround(s.elapsed_s * 1000));
    o["interrupted"] = s.interrupted;
    Json::Value summary(Json::objectValue);
    summary["summary"] = o;
    std::fprintf(out_, "%s\n", compact_json(summary).c_str());
  } else {
    std::fprintf(out_, "%s\n",
                 qxcore::format(_("scan: %ld of %ld line settings, %ld probes in %.1f s; %ld "
                                  "responders, %ld meters%s"),
                                s.settings_tried, s.settings, s.probes, s.elapsed_s, s.responders,
                                s.meters, s.interrupted ? _("; interrupted") : "")
                     .c_str());
    if (s.garbled > 0) {
      std::fprintf(
          out_, "  %s\n",
          qxcore::format(_("%ld answers were not frames of the id asked (another line setting?)"),
                         s.garbled)
              .c_str());
    }
  }
  std::fflush(out_);
}

}  // namespace qxbench
