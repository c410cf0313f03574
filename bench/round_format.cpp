#include "round_format.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <sstream>

#include <json/writer.h>
#include <modbus.h>

#include "alarm.h"
#include "qxcore/failures.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "qxi18n/text_width.h"
#include "register_map.h"

namespace qxbench {
namespace {

// Ranges a three-phase supply stays within (100..277 V phase systems).
constexpr double kPhaseVoltsLow = 90, kPhaseVoltsHigh = 290;
constexpr double kLineVoltsLow = 150, kLineVoltsHigh = 500;
constexpr double kHertzLow = 45, kHertzHigh = 65;
constexpr double kFactorHigh = 1.0;

using qx7540pm::PhaseGroup;
using qx7540pm::QuantityKind;

constexpr PhaseGroup kPhases[] = {PhaseGroup::kA, PhaseGroup::kB, PhaseGroup::kC};

// One row of the per-phase table: a kind of quantity over phases A, B, C
// and the average or total.
struct Row {
  const char* label;
  QuantityKind kind;
};

constexpr Row kRows[] = {
    {N_("phase voltage"), QuantityKind::kPhaseVoltage},
    {N_("line voltage"), QuantityKind::kLineVoltage},
    {N_("current"), QuantityKind::kCurrent},
    {N_("active power"), QuantityKind::kActivePower},
    {N_("reactive power"), QuantityKind::kReactivePower},
    {N_("apparent power"), QuantityKind::kApparentPower},
    {N_("power factor"), QuantityKind::kPowerFactor},
};

/// A range per phase of a kind: values outside it are implausible.
struct Limit {
  QuantityKind kind;
  double low;
  double high;
};

constexpr Limit kLimits[] = {
    {QuantityKind::kPhaseVoltage, kPhaseVoltsLow, kPhaseVoltsHigh},
    {QuantityKind::kLineVoltage, kLineVoltsLow, kLineVoltsHigh},
};

using qxcore::format;

double number(const Json::Value& snapshot, const char* key) {
  const Json::Value& v = snapshot.isObject() ? snapshot[key] : Json::Value::nullSingleton();
  return v.isNumeric() ? v.asDouble() : std::nan("");
}

const qx7540pm::RegisterEntry& quantity_of(QuantityKind kind, PhaseGroup phase) {
  return qx7540pm::kRegisterMap[qx7540pm::register_index(kind, phase)];
}

double reading(const Json::Value& snapshot, QuantityKind kind, PhaseGroup phase) {
  return number(snapshot, quantity_of(kind, phase).key);
}

/// "230.1 V" with the quantity's decimals and unit; "-" when not a number.
std::string shown(const Json::Value& snapshot, QuantityKind kind, PhaseGroup phase) {
  const qx7540pm::RegisterEntry& q = quantity_of(kind, phase);
  const double value = number(snapshot, q.key);
  if (std::isnan(value)) return "-";
  std::string text = format("%.*f", q.decimals, value);
  if (*q.unit != '\0') text += std::string(" ") + q.unit;
  return text;
}

/// The standard names of the Modbus exception codes libmodbus knows, by code.
constexpr const char* kExceptionNames[] = {
    nullptr,
    N_("illegal function"),
    N_("illegal data address"),
    N_("illegal data value"),
    N_("server device failure"),
    N_("acknowledge (request accepted, still in progress)"),
    N_("server device busy"),
    N_("negative acknowledge"),
    N_("memory parity error"),
    N_("code not defined by Modbus"),
    N_("gateway path unavailable"),
    N_("gateway target device failed to respond"),
};

constexpr std::size_t kLabelWidth = 17;

/// "1 round", "5 rounds" in the run's language.
std::string rounds_text(long n) {
  return format(P_("%ld round", "%ld rounds", static_cast<unsigned long>(n)), n);
}
constexpr std::size_t kCellWidth = 14;
constexpr std::size_t kSummaryLabelWidth = 13;

// The device's own lines stay as the controller logs them; a person reads
// what they mean beside them.
std::string device_line_meaning(const std::string& line) {
  if (line.rfind("rvSize is ", 0) == 0) {
    return "  " + std::string(_("(threshold rule values the controller's checks left pending "
                                "this round)"));
  }
  if (line == "SPModbus get error") {
    return "  " + std::string(_("(the device's line for a failed Modbus exchange)"));
  }
  return {};
}

// A meter whose phase voltage registers count hundredths of a volt, the
// scale the alarm check assumes, shows ten times its voltage in the
// snapshot, which divides them by 10: 2300 V beside a line voltage of 400 V.
// The plausibility warnings then come every round; this says why.
void print_alarm_scale_note(FILE* out, const Json::Value& snapshot) {
  std::string keys;
  double first = 0;
  for (const PhaseGroup phase : kPhases) {
    const qx7540pm::RegisterEntry& q = quantity_of(QuantityKind::kPhaseVoltage, phase);
    const double v = number(snapshot, q.key);
    if (std::isnan(v) || v <= kPhaseVoltsHigh || v / 10 < kPhaseVoltsLow ||
        v / 10 > kPhaseVoltsHigh) {
      continue;
    }
    if (keys.empty()) first = v;
    keys += (keys.empty() ? "" : C_("list", ", ")) + std::string(q.key);
  }
  if (keys.empty()) return;
  print_labelled(out, C_("label", "note"),
                 format(_("%s at %.1f V: registers counted in hundredths of a volt (%.2f V), the "
                          "scale the alarm check assumes; the snapshot divides them by 10, hence "
                          "the warnings"),
                        keys.c_str(), first, first / 10));
}

}  // namespace

std::string failure_reason(const zelfw::LinkFailure& f) {
  switch (f.kind) {
    case zelfw::Failure::kTimeout:
      // No connection on a serial line: the meter stayed silent for the whole response timeout.
      return format(f.tcp ? _("timeout: no response from the gateway within %d ms")
                          : _("timeout: no response within %d ms"),
                    f.timeout_ms);
    case zelfw::Failure::kBadCrc:
      return _("CRC error: the reply's checksum does not match");
    case zelfw::Failure::kException: {
      const int code = f.exception_code;
      const bool known = code > 0 && code < static_cast<int>(std::size(kExceptionNames));
      return format(_("exception %02X: %s"), static_cast<unsigned>(code),
                    known ? _(kExceptionNames[code]) : _("code not defined by Modbus"));
    }
    case zelfw::Failure::kMalformed:
      if (f.error_number == EMBBADEXC || f.error_number == EMBUNKEXC) {
        return _("malformed exception reply: its length or code is not one Modbus defines");
      }
      if (f.error_number == EMBMDATA) return _("too many registers asked for in one request");
      return _("malformed reply: it does not match the request");
    case zelfw::Failure::kWrongSlave:
      return _("wrong slave: the reply came from another slave id");
    case zelfw::Failure::kIo:
    case zelfw::Failure::kCount:
      break;
  }
  return format(_("I/O error: %s"), std::strerror(f.error_number));
}

const char* outcome_name(const RoundResult& r) {
  return r.ok ? "ok" : r.failed ? zelfw::failure_name(r.failure.kind) : qxcore::kUnpublished;
}

std::string padded(const std::string& label, std::size_t width) {
  return qxi18n::pad_to_width(label, width);
}

void print_labelled(FILE* out, const std::string& label, const std::string& text) {
  std::fprintf(out, "  %s %s\n", padded(label, kLabelWidth).c_str(), text.c_str());
}

void print_snapshot_values(FILE* out, const Json::Value& s) {
  std::string heading;
  // Phase A and line voltage AB head one column, and so on.
  for (const char* phase : {N_("A (AB)"), N_("B (BC)"), N_("C (CA)")})
    heading += padded(_(phase), kCellWidth) + " ";
  print_labelled(out, "", heading + _("avg/total"));
  for (const Row& row : kRows) {
    std::string cells;
    for (const PhaseGroup phase : kPhases)
      cells += padded(shown(s, row.kind, phase), kCellWidth) + " ";
    print_labelled(out, _(row.label), cells + shown(s, row.kind, PhaseGroup::kWhole));
  }
  const PhaseGroup whole = PhaseGroup::kWhole;
  const auto& di = quantity_of(QuantityKind::kDigitalInputs, whole);
  const auto& dout = quantity_of(QuantityKind::kDigitalOutputs, whole);
  const auto& unused = quantity_of(QuantityKind::kUnused, whole);
  print_labelled(out, _("frequency"),
                 padded(shown(s, QuantityKind::kFrequency, whole), kCellWidth) +
                     format(" %s %.0f   %s %.0f   %s %.0f", di.key, number(s, di.key), dout.key,
                            number(s, dout.key), unused.key, number(s, unused.key)));
  print_labelled(out, _("energy fwd/rev"),
                 format(_("active %.0f / %.0f kWh   reactive %.0f / %.0f kvarh"),
                        reading(s, QuantityKind::kForwardActiveEnergy, whole),
                        reading(s, QuantityKind::kReverseActiveEnergy, whole),
                        reading(s, QuantityKind::kForwardReactiveEnergy, whole),
                        reading(s, QuantityKind::kReverseReactiveEnergy, whole)));
  const Json::Value& updated =
      s.isObject() ? s[qx7540pm::kUpdateTimeKey] : Json::Value::nullSingleton();
  print_labelled(out, _("updated"), updated.isString() ? updated.asString() : "-");
}

std::vector<qxcore::Message> plausibility_warnings(const Json::Value& snapshot) {
  if (!snapshot.isObject()) return {};
  Readings readings;
  for (std::size_t i = 0; i < readings.size(); ++i) {
    readings[i] = number(snapshot, qx7540pm::kRegisterMap[i].key);
  }
  return plausibility_warnings(readings);
}

std::vector<qxcore::Message> plausibility_warnings(const Readings& readings) {
  std::vector<qxcore::Message> warnings;
  const auto value_of = [&readings](const qx7540pm::RegisterEntry& q) {
    return readings[static_cast<std::size_t>(&q - qx7540pm::kRegisterMap)];
  };
  const auto check = [&](const qx7540pm::RegisterEntry& q, double low, double high) {
    const double v = value_of(q);
    if (!std::isnan(v) && (v < low || v > high)) {
      warnings.push_back(qxcore::message_apart("%s = %.3f %s is outside %.0f..%.0f %s",
                                               N_("%s = %.3f %s is outside %.0f to %.0f %s"), q.key,
                                               v, q.unit, low, high, q.unit));
    }
  };
  for (const Limit& limit : kLimits) {
    for (const PhaseGroup phase : kPhases)
      check(quantity_of(limit.kind, phase), limit.low, limit.high);
  }
  check(quantity_of(QuantityKind::kFrequency, PhaseGroup::kWhole), kHertzLow, kHertzHigh);
  for (const PhaseGroup phase :
       {PhaseGroup::kA, PhaseGroup::kB, PhaseGroup::kC, PhaseGroup::kWhole}) {
    const qx7540pm::RegisterEntry& q = quantity_of(QuantityKind::kPowerFactor, phase);
    const double v = value_of(q);
    if (!std::isnan(v) && v > kFactorHigh) {
      warnings.push_back(qxcore::message(N_("%s = %.4f is above 1"), q.key, v));
    }
  }
  return warnings;
}

std::vector<qxcore::Message> alarm_scale_warnings(const std::vector<unsigned char>& record,
                                                  const AlarmReport& alarm,
                                                  const std::array<bool, 3>& monitored) {
  using namespace qx7540pm;
  std::vector<qxcore::Message> warnings;
  if (!alarm.state) return warnings;
  for (int i = 0; i < 3; ++i) {
    const RegisterEntry& phase = *kAlarmPhases[i];
    if (!monitored[i] || record.size() < phase.offset + 2) continue;
    QX7540PM_Data_t whole{};
    std::memcpy(&whole, record.data(), std::min(record.size(), sizeof whole));
    const std::uint16_t word = record_word(whole, phase.offset);
    const double snapshot_volts = word / divisor_of(phase.scale);
    const double alarm_volts = static_cast<float>(word) / kAlarmDivisor;
    if (alarm_volts < kInterruptionThreshold && snapshot_volts >= kInterruptionThreshold) {
      warnings.push_back(qxcore::message(
          N_("alarm on while monitored %s reads %.1f V: the alarm check divides the register "
             "by %.0f, not %.0f (%.2f < %.0f)"),
          phase.key, snapshot_volts, kAlarmDivisor, divisor_of(phase.scale), alarm_volts,
          kInterruptionThreshold));
    }
  }
  return warnings;
}

std::string compact_json(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

TracedFrame traced_frame(const zelfw::Frame& frame, std::chrono::steady_clock::time_point began) {
  TracedFrame traced;
  traced.seconds = std::chrono::duration<double>(frame.time - began).count();
  traced.sent = frame.sent;
  traced.bytes.assign(frame.bytes.begin(), frame.bytes.end());
  if (frame.failure) traced.failure = zelfw::failure_name(*frame.failure);
  return traced;
}

std::string frame_text(const TracedFrame& f) {
  char head[48];
  std::snprintf(head, sizeof head, "%-17s %12.6f s  ", f.sent ? "tx" : "rx", f.seconds);
  std::string text = head;
  text += f.bytes.empty() ? _("(no frame)") : qxcore::spaced_hex(f.bytes);
  if (!f.sent && !f.bytes.empty()) {
    text += "  " + format(P_("(%zu byte)", "(%zu bytes)", f.bytes.size()), f.bytes.size());
  }
  if (!f.failure.empty()) text += std::string("  ") + qxcore::failure_label(f.failure.c_str());
  return text;
}

Json::Value frame_json(const TracedFrame& f) {
  Json::Value frame(Json::objectValue);
  frame["t_us"] = static_cast<Json::Int64>(std::llround(f.seconds * 1e6));
  frame["dir"] = f.sent ? "tx" : "rx";
  frame["bytes"] = qxcore::spaced_hex(f.bytes);
  frame["length"] = static_cast<Json::UInt64>(f.bytes.size());
  frame["failure"] = f.failure.empty() ? Json::Value() : Json::Value(f.failure);
  return frame;
}

void print_round(FILE* out, const RoundResult& r) {
  std::string status;
  if (r.ok) {
    status = r.round == 0 ? _("restored and republished") : C_("round status", "ok");
  } else if (r.failed) {
    status = format(_("FAILED: %s"), failure_reason(r.failure).c_str());
  } else {
    status = r.round == 0 ? _("refused by the device") : _("FAILED: nothing published");
  }
  std::string label =
      r.round == 0 ? std::string(C_("round label", "cache")) : format(_("round %ld"), r.round);
  if (r.several) label += " " + format(_("slave %d"), r.slave);
  std::fprintf(
      out, "%s\n",
      format(_("%s  %s  %s  (%.1f ms)"), label.c_str(), r.time.c_str(), status.c_str(), r.round_ms)
          .c_str());
  for (const TracedFrame& f : r.trace) std::fprintf(out, "  %s\n", frame_text(f).c_str());
  if (r.ok) {
    print_snapshot_values(out, r.snapshot);
    if (r.snapshot_repeated) {
      print_labelled(out, C_("label", "note"),
                     _("the snapshot (control code 801) is made once per second of its time "
                       "stamp: this round completed in the same second as the last one, so the "
                       "values above are the last round's"));
    }
  } else {
    print_labelled(out, C_("label", "published"),
                   _("nothing this round; the snapshot (control code 801) still shows the last "
                     "record"));
  }
  if (r.alarm_reported) {
    // The device's name, id, code and text as it reports them; only the state is ours.
    print_labelled(
        out, C_("label", "alarm"),
        format(r.alarm.state ? _("%s: ALARM  [%s %s]  %s") : _("%s: normal  [%s %s]  %s"),
               r.alarm.name.c_str(), r.alarm.id.c_str(), r.alarm.code.c_str(),
               r.alarm.text.c_str()));
  } else {
    print_labelled(out, C_("label", "alarm"), _("no report"));
  }
  print_labelled(out, _("value query"), r.query);
  for (const std::string& line : r.device_lines) {
    print_labelled(out, _("device says"), line + device_line_meaning(line));
  }
  for (const qxcore::Message& warning : r.warnings) {
    print_labelled(out, _("WARNING"), warning.translated());
  }
  if (r.ok) print_alarm_scale_note(out, r.snapshot);
  if (!r.diagnosis.findings.empty()) {
    print_labelled(out, C_("label", "diagnosis"), diagnosis_line(r.diagnosis));
  }
  std::fflush(out);
}

namespace {

void print_titled_summary(FILE* out, const Summary& s, const std::string& title) {
  long failed = s.unpublished;
  for (long n : s.failures) failed += n;
  std::fprintf(
      out, "%s\n",
      format(_("%s: %s, %ld ok, %ld failed%s"), title.c_str(), rounds_text(s.rounds).c_str(), s.ok,
             failed, s.interrupted ? _(" (interrupted)") : "")
          .c_str());
  for (std::size_t i = 0; i < s.failures.size(); ++i) {
    if (s.failures[i] == 0) continue;
    std::fprintf(
        out, "  %s %ld\n",
        padded(qxcore::failure_label(static_cast<zelfw::Failure>(i)), kSummaryLabelWidth).c_str(),
        s.failures[i]);
  }
  if (s.unpublished > 0) {
    std::fprintf(out, "  %s %ld\n",
                 padded(qxcore::failure_label(qxcore::kUnpublished), kSummaryLabelWidth).c_str(),
                 s.unpublished);
  }
  const auto line = [&](const char* label, const std::string& text) {
    std::fprintf(out, "  %s %s\n", padded(label, kSummaryLabelWidth).c_str(), text.c_str());
  };
  line(C_("label", "link"), s.link.translated());
  std::string mean = s.timed_rounds > 0
                         ? format(P_("%.1f ms over %ld good round", "%.1f ms over %ld good rounds",
                                     static_cast<unsigned long>(s.timed_rounds)),
                                  s.total_ms / s.timed_rounds, s.timed_rounds)
                         : std::string(_("- (no good round)"));
  if (s.wire_minimum_ms >= 0) mean += format(_("; wire minimum %.1f ms"), s.wire_minimum_ms);
  line(C_("label", "mean round"), mean);
  if (!s.wire_note.empty()) line(C_("label", "note"), s.wire_note);
  std::fflush(out);
}

Json::Value summary_object(const Summary& s);

}  // namespace

void print_summary(FILE* out, const Summary& s) { print_titled_summary(out, s, _("summary")); }

void print_line_summary(FILE* out, const LineSummary& line) {
  for (std::size_t i = 0; i < line.meters.size(); ++i) {
    print_titled_summary(out, line.meters[i], format(_("summary slave %d"), line.slaves[i]));
  }
  if (line.cycles > 0) {
    const std::string cycles =
        format(P_("%ld cycle", "%ld cycles", static_cast<unsigned long>(line.cycles)), line.cycles);
    const std::string meters =
        format(P_("%zu meter", "%zu meters", line.slaves.size()), line.slaves.size());
    std::fprintf(out, "%s",
                 format(_("bus cycle: %.1f ms mean over %s of %s"),
                        line.total_cycle_ms / line.cycles, cycles.c_str(), meters.c_str())
                     .c_str());
  } else {
    std::fprintf(out, "%s", _("bus cycle: - (no complete cycle)"));
  }
  if (line.cycle_wire_minimum_ms >= 0) {
    std::fprintf(out, "%s",
                 format(_("; wire minimum %.1f ms"), line.cycle_wire_minimum_ms).c_str());
  }
  std::fprintf(out, "\n");
  std::fflush(out);
}

std::string round_json(const RoundResult& r) {
  Json::Value o(Json::objectValue);
  o["round"] = static_cast<Json::Int64>(r.round);
  o["slave"] = r.slave;
  o["source"] = r.round == 0 ? "cache" : "poll";
  o["time"] = r.time;
  o["round_us"] = static_cast<Json::Int64>(std::llround(r.round_ms * 1000));
  o["ok"] = r.ok;
  o["error"] = r.failed ? Json::Value(zelfw::failure_name(r.failure.kind)) : Json::Value();
  o["detail"] = r.failed ? Json::Value(r.failure.text) : Json::Value();
  if (r.failed && r.failure.kind == zelfw::Failure::kException) {
    o["exception_code"] = r.failure.exception_code;
  }
  o["record"] = r.record.empty() ? Json::Value() : Json::Value(qxcore::to_hex(r.record));
  o["snapshot"] = r.snapshot;
  if (r.alarm_reported) {
    Json::Value& a = o["alarm"];
    a["id"] = r.alarm.id;
    a["code"] = r.alarm.code;
    a["name"] = r.alarm.name;
    a["text"] = r.alarm.text;
    a["state"] = r.alarm.state;
  } else {
    o["alarm"] = Json::Value();
  }
  o["query"] = r.query;
  o["device_output"] = Json::Value(Json::arrayValue);
  for (const std::string& line : r.device_lines) o["device_output"].append(line);
  o["warnings"] = Json::Value(Json::arrayValue);
  for (const qxcore::Message& w : r.warnings) o["warnings"].append(w.english());
  o["diagnosis"] = findings_json(r.diagnosis);
  o["voltage_unbalance_percent"] = figure_json(r.diagnosis.voltage_unbalance);
  o["current_unbalance_percent"] = figure_json(r.diagnosis.current_unbalance);
  if (r.traced) {
    Json::Value& trace = o["trace"] = Json::Value(Json::arrayValue);
    for (const TracedFrame& f : r.trace) trace.append(frame_json(f));
  }
  return compact_json(o);
}

namespace {

Json::Value summary_object(const Summary& s) {
  Json::Value o(Json::objectValue);
  long failed = s.unpublished;
  Json::Value kinds(Json::objectValue);
  for (std::size_t i = 0; i < s.failures.size(); ++i) {
    kinds[zelfw::failure_name(static_cast<zelfw::Failure>(i))] =
        static_cast<Json::Int64>(s.failures[i]);
    failed += s.failures[i];
  }
  kinds[qxcore::kUnpublished] = static_cast<Json::Int64>(s.unpublished);
  o["rounds"] = static_cast<Json::Int64>(s.rounds);
  o["ok"] = static_cast<Json::Int64>(s.ok);
  o["failed"] = static_cast<Json::Int64>(failed);
  o["failures"] = kinds;
  // Times in whole microseconds: exact in JSON, unlike decimal fractions.
  o["mean_round_us"] =
      s.timed_rounds > 0
          ? Json::Value(static_cast<Json::Int64>(std::llround(s.total_ms / s.timed_rounds * 1000)))
          : Json::Value();
  o["wire_minimum_us"] =
      s.wire_minimum_ms >= 0
          ? Json::Value(static_cast<Json::Int64>(std::llround(s.wire_minimum_ms * 1000)))
          : Json::Value();
  o["link"] = s.link.english();
  o["interrupted"] = s.interrupted;
  return o;
}

Json::Value microseconds(double ms) {
  return ms >= 0 ? Json::Value(static_cast<Json::Int64>(std::llround(ms * 1000))) : Json::Value();
}

}  // namespace

std::string summary_json(const Summary& s) {
  Json::Value line(Json::objectValue);
  line["summary"] = summary_object(s);
  return compact_json(line);
}

std::string line_summary_json(const LineSummary& line) {
  Json::Value o(Json::objectValue);
  o["meters"] = Json::Value(Json::arrayValue);
  for (std::size_t i = 0; i < line.meters.size(); ++i) {
    Json::Value meter = summary_object(line.meters[i]);
    meter["slave"] = line.slaves[i];
    o["meters"].append(meter);
  }
  o["cycles"] = static_cast<Json::Int64>(line.cycles);
  o["mean_cycle_us"] =
      line.cycles > 0 ? microseconds(line.total_cycle_ms / line.cycles) : Json::Value();
  o["cycle_wire_minimum_us"] = microseconds(line.cycle_wire_minimum_ms);
  Json::Value out(Json::objectValue);
  out["summary"] = o;
  return compact_json(out);
}

}  // namespace qxbench
