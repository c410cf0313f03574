// --history: every record the device stored, appended whole to the file.
#include "output/output.h"
#include "output_file.h"
#include "qxi18n/i18n.h"

namespace qxbench {
namespace {

class HistoryOutput : public Output {
 public:
  explicit HistoryOutput(const std::string& path) : file_(path, C_("file kind", "history file")) {}
  bool open(std::string& error) { return file_.open(true, error); }
  void round(const RoundResult& report, const Summary&) override {
    for (const std::vector<unsigned char>& record : report.stored) {
      file_.write(record.data(), record.size());
    }
  }
  bool end(const LineSummary&, std::string& error) override { return file_.commit(error); }

 private:
  OutputFile file_;
};

}  // namespace

bool make_history_output(const OutputContext& context, Outputs& outputs, std::string& error) {
  if (context.command != Command::kPoll || context.options.history_path.empty()) return true;
  return add_file_output<HistoryOutput>(outputs, error, context.options.history_path);
}

}  // namespace qxbench
