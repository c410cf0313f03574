#include <unistd.h>

#include "output/output.h"

namespace qxbench {
bool make_text_output(const OutputContext& context, Outputs& outputs, std::string& error);
bool make_json_output(const OutputContext& context, Outputs& outputs, std::string& error);
bool make_watch_output(const OutputContext& context, Outputs& outputs, std::string& error);
bool make_csv_output(const OutputContext& context, Outputs& outputs, std::string& error);
bool make_history_output(const OutputContext& context, Outputs& outputs, std::string& error);
bool make_report_output(const OutputContext& context, Outputs& outputs, std::string& error);

namespace {

/// Every output module, one line each, standard output's first.
constexpr MakeOutput kModules[] = {
    make_text_output, make_json_output,    make_watch_output,
    make_csv_output,  make_history_output, make_report_output,
};

}  // namespace

Screen screen_of(const OutputContext& context) {
  const OutputOptions& o = context.options;
  if (o.json) return Screen::kJson;
  if (o.csv && context.command == Command::kDecode) return Screen::kCsv;
  if (o.watch && context.command == Command::kPoll && ::isatty(::fileno(context.out)) != 0) {
    return Screen::kWatch;
  }
  return Screen::kText;
}

bool make_outputs(const OutputContext& context, Outputs& outputs, std::string& error) {
  for (const MakeOutput make : kModules) {
    if (!make(context, outputs, error)) return false;
  }
  return true;
}

void print_run_summary(std::FILE* out, const LineSummary& totals) {
  if (totals.meters.size() == 1) {
    print_summary(out, totals.meters.front());
  } else {
    print_line_summary(out, totals);
  }
  std::fflush(out);
}

}  // namespace qxbench
