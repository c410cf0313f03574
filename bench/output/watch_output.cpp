// --watch on a terminal: one screen per cycle, then the text summary and
// each meter's wiring and supply quality.
#include "diagnosis/diagnosis_summary.h"
#include "output/output.h"
#include "watch.h"

namespace qxbench {
namespace {

class WatchOutput : public Output {
 public:
  WatchOutput(std::FILE* out, const std::vector<int>& slaves) : out_(out), screen_(out, slaves) {}
  void round(const RoundResult& report, const Summary& counts) override {
    screen_.update(report, counts);
    diagnosis_.add(report.slave, report.round, report.diagnosis);
  }
  void cycle(const LineSummary& totals) override { screen_.draw(totals); }
  bool end(const LineSummary& totals, std::string&) override {
    screen_.draw(totals);
    print_run_summary(out_, totals);
    diagnosis_.print(out_, totals.slaves);
    return true;
  }

 private:
  std::FILE* out_;
  WatchScreen screen_;
  MetersDiagnosis diagnosis_;
};

}  // namespace

bool make_watch_output(const OutputContext& context, Outputs& outputs, std::string&) {
  if (screen_of(context) == Screen::kWatch) {
    outputs.push_back(std::make_unique<WatchOutput>(context.out, *context.slaves));
  }
  return true;
}

}  // namespace qxbench
