#include "scan_output.h"

#include <cmath>

#include <cctype>

#include "qx7540pm_data.h"
#include "qxcore/failures.h"
#include "qxcore/line_setting.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "round_format.h"

namespace qxbench {
namespace {

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
}  // namespace

using qxcore::words;

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

/// The verdict on a responder: in English for --json, in the run's language `for_people`.
/// The JSON forms are fixed (programs match them); people read the ranges as
/// ranges and a failure in words.
std::string verdict_of(const Probe& probe, bool for_people) {
  if (probe.meter) return words(for_people, N_("looks like this meter"));
  const int first = QX7540PM_BLOCK1_START, first_end = first + QX7540PM_BLOCK1_COUNT - 1;
  const int second = QX7540PM_BLOCK2_START, second_end = second + QX7540PM_BLOCK2_COUNT - 1;
  if (probe.answer == Answer::kException) {
    return for_people ? qxcore::format(_("not this meter: registers %d to %d answered with %s"),
                                       first, first_end, failure_reason(probe.failure).c_str())
                      : qxcore::format("not this meter: answers registers %d..%d with exception %d",
                                       first, first_end, probe.failure.exception_code);
  }
  if (!probe.published) {
    if (!probe.second_failed) {
      return for_people
                 ? qxcore::format(
                       _("not this meter: registers %d to %d answer, registers %d to %d do not"),
                       first, first_end, second, second_end)
                 : qxcore::format(
                       "not this meter: answers registers %d..%d but not registers %d..%d", first,
                       first_end, second, second_end);
    }
    return for_people
               ? qxcore::format(
                     _("not this meter: registers %d to %d answer, registers %d to %d do not (%s)"),
                     first, first_end, second, second_end, failure_reason(probe.failure).c_str())
               : qxcore::format(
                     "not this meter: answers registers %d..%d but not registers %d..%d (%s)",
                     first, first_end, second, second_end, zelfw::failure_name(probe.failure.kind));
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

}  // namespace qxbench
