// --report: the rounds kept as their CSV rows say, the commissioning report
// written at the end.
#include "output/output.h"
#include "report_command.h"

namespace qxbench {
namespace {

class ReportOutput : public Output {
 public:
  ReportOutput(const std::string& path, const RunFacts& facts) : page_(path) {
    page_.describe(facts.link, facts.polling, facts.plugin_path);
  }
  bool open(std::string& error) { return page_.open(error); }
  void round(const RoundResult& report, const Summary&) override { page_.add(report); }
  bool end(const LineSummary& totals, std::string& error) override {
    return page_.finish(!totals.meters.empty() && totals.meters.front().interrupted, error);
  }

 private:
  PollReport page_;
};

}  // namespace

bool make_report_output(const OutputContext& context, Outputs& outputs, std::string& error) {
  if (context.command != Command::kPoll || context.options.report_path.empty()) return true;
  return add_file_output<ReportOutput>(outputs, error, context.options.report_path, *context.facts);
}

}  // namespace qxbench
