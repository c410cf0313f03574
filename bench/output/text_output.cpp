// Aligned text on standard output: a block per round, then the summary; a
// block per decoded record.
#include "output/output.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxbench {
namespace {

class TextOutput : public Output {
 public:
  explicit TextOutput(std::FILE* out) : out_(out) {}
  void round(const RoundReport& report, const Summary&) override { print_round(out_, report); }
  void record(const DecodedRecord& r) override {
    std::fprintf(out_, "%s\n",
                 qxcore::format(_("%s record %zu  data id %d  stored %s"), r.path.c_str(), r.index,
                                r.record.device_data_id, r.stamp.c_str())
                     .c_str());
    print_snapshot_values(out_, r.values);
    std::fflush(out_);
  }
  bool end(const LineSummary& totals, std::string&) override {
    if (!totals.meters.empty()) print_run_summary(out_, totals);
    return true;
  }

 private:
  std::FILE* out_;
};

}  // namespace

bool make_text_output(const OutputContext& context, Outputs& outputs, std::string&) {
  if (screen_of(context) == Screen::kText)
    outputs.push_back(std::make_unique<TextOutput>(context.out));
  return true;
}

}  // namespace qxbench
