// --json on standard output: one object per round, then the summary object;
// one object per decoded record.
#include "output/output.h"

namespace qxbench {
namespace {

class JsonOutput : public Output {
 public:
  explicit JsonOutput(std::FILE* out) : out_(out) {}
  void round(const RoundReport& report, const Summary&) override {
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

}  // namespace

bool make_json_output(const OutputContext& context, Outputs& outputs, std::string&) {
  if (screen_of(context) == Screen::kJson)
    outputs.push_back(std::make_unique<JsonOutput>(context.out));
  return true;
}

}  // namespace qxbench
