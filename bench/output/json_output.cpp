// --json on standard output: one object per round, then the summary object;
// one object per decoded record; one per scan responder, then the summary.
#include <cmath>

#include "output/output.h"
#include "qxcore/line_setting.h"
#include "scan_output.h"

namespace qxbench {
namespace {

class JsonOutput : public Output {
 public:
  explicit JsonOutput(std::FILE* out) : out_(out) {}
  void round(const RoundResult& report, const Summary&) override {
    std::fprintf(out_, "%s\n", round_json(report).c_str());
    std::fflush(out_);
  }
  void record(const DecodedRecord& r) override {
    Json::Value o(Json::objectValue);
    o["file"] = r.path;
    o["index"] = static_cast<Json::UInt64>(r.index);
    o["data_id"] = r.record.device_data_id;
    o["stamp"] = r.stamp;
    o["values"] = r.values;
    std::fprintf(out_, "%s\n", compact_json(o).c_str());
    std::fflush(out_);
  }
  void scan_responder(const ScanResponder& r) override;
  void scan_end(const ScanSummary& s) override;
  bool end(const LineSummary& totals, std::string&) override {
    if (totals.meters.empty()) return true;
    std::fprintf(out_, "%s\n",
                 totals.meters.size() == 1 ? summary_json(totals.meters.front()).c_str()
                                           : line_summary_json(totals).c_str());
    std::fflush(out_);
    return true;
  }

 private:
  std::FILE* out_;
};

void JsonOutput::scan_responder(const ScanResponder& r) {
  const Probe& probe = *r.probe;
  Json::Value o(Json::objectValue);
  o["slave"] = r.slave;
  o["line"] = r.line;
  o["baud"] = r.setting != nullptr ? Json::Value(r.setting->baud) : Json::Value();
  o["format"] =
      r.setting != nullptr ? Json::Value(qxcore::frame_format_name(*r.setting)) : Json::Value();
  o["answer"] = answer_name(probe.answer);
  if (probe.answer == Answer::kException) o["exception_code"] = probe.failure.exception_code;
  o["meter"] = probe.meter;
  o["verdict"] = verdict_of(probe, false);
  o["warnings"] = Json::Value(Json::arrayValue);
  for (const qxcore::Message& w : probe.warnings) o["warnings"].append(w.english());
  o["snapshot"] = probe.published ? probe.snapshot : Json::Value();
  o["command"] = r.command.empty() ? Json::Value() : Json::Value(r.command);
  if (!probe.trace.empty()) {
    Json::Value& trace = o["trace"] = Json::Value(Json::arrayValue);
    for (const TracedFrame& f : probe.trace) trace.append(frame_json(f));
  }
  std::fprintf(out_, "%s\n", compact_json(o).c_str());
  std::fflush(out_);
}

void JsonOutput::scan_end(const ScanSummary& s) {
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
  std::fflush(out_);
}

}  // namespace

bool make_json_output(const OutputContext& context, Outputs& outputs, std::string&) {
  if (screen_of(context) == Screen::kJson)
    outputs.push_back(std::make_unique<JsonOutput>(context.out));
  return true;
}

}  // namespace qxbench
