#include "sinks.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <unistd.h>

#include "csv.h"
#include "output_file.h"
#include "report_command.h"
#include "run_csv.h"
#include "watch.h"

namespace qxbench {

void print_run_summary(std::FILE* out, const LineSummary& totals) {
  if (totals.meters.size() == 1) {
    print_summary(out, totals.meters.front());
  } else {
    print_line_summary(out, totals);
  }
  std::fflush(out);
}

namespace {

/// Aligned text, a block per round, then the summary.
class TextSink : public RoundSink {
 public:
  explicit TextSink(std::FILE* out) : out_(out) {}
  void round(const RoundReport& report, const Summary&) override { print_round(out_, report); }
  bool end(const LineSummary& totals, std::string&) override {
    print_run_summary(out_, totals);
    return true;
  }

 private:
  std::FILE* out_;
};

/// --json: one object per round, then the summary object.
class JsonSink : public RoundSink {
 public:
  explicit JsonSink(std::FILE* out) : out_(out) {}
  void round(const RoundReport& report, const Summary&) override {
    std::fprintf(out_, "%s\n", round_json(report).c_str());
    std::fflush(out_);
  }
  bool end(const LineSummary& totals, std::string&) override {
    std::fprintf(out_, "%s\n",
                 totals.meters.size() == 1 ? summary_json(totals.meters.front()).c_str()
                                           : line_summary_json(totals).c_str());
    std::fflush(out_);
    return true;
  }

 private:
  std::FILE* out_;
};

/// --watch on a terminal: one screen per cycle, then the text summary.
class WatchSink : public RoundSink {
 public:
  WatchSink(std::FILE* out, const std::vector<int>& slaves) : out_(out), screen_(out, slaves) {}
  void round(const RoundReport& report, const Summary& counts) override {
    screen_.update(report, counts);
  }
  void cycle(const LineSummary& totals) override { screen_.draw(totals); }
  bool end(const LineSummary& totals, std::string&) override {
    screen_.draw(totals);
    print_run_summary(out_, totals);
    return true;
  }

 private:
  std::FILE* out_;
  WatchScreen screen_;
};

/// --csv: the header, then a row per round.
class CsvSink : public RoundSink {
 public:
  explicit CsvSink(const std::string& path) : file_(path, C_("file kind", "CSV file")) {}
  bool open(std::string& error) {
    if (!file_.open(false, error)) return false;
    if (file_.write(std::string(qxcore::kByteOrderMark)) &&
        file_.write(csv_line(run_csv_columns()))) {
      return true;
    }
    error = file_.error();
    return false;
  }
  void round(const RoundReport& report, const Summary&) override {
    file_.write(csv_line(run_csv_row(report)));
  }
  bool end(const LineSummary&, std::string& error) override { return file_.commit(error); }

 private:
  OutputFile file_;
};

/// --history: every record the device stored, appended whole to the file.
class HistorySink : public RoundSink {
 public:
  explicit HistorySink(const std::string& path) : file_(path, C_("file kind", "history file")) {}
  bool open(std::string& error) { return file_.open(true, error); }
  void round(const RoundReport& report, const Summary&) override {
    for (const std::vector<unsigned char>& record : report.stored) {
      file_.write(record.data(), record.size());
    }
  }
  bool end(const LineSummary&, std::string& error) override { return file_.commit(error); }

 private:
  OutputFile file_;
};

/// --report: the rounds kept as their CSV rows say, the page written at the end.
class ReportSink : public RoundSink {
 public:
  ReportSink(const std::string& path, const RunFacts& facts) : page_(path) {
    page_.describe(facts.link, facts.polling, facts.plugin_path);
  }
  bool open(std::string& error) { return page_.open(error); }
  void round(const RoundReport& report, const Summary&) override { page_.add(report); }
  bool end(const LineSummary& totals, std::string& error) override {
    return page_.finish(!totals.meters.empty() && totals.meters.front().interrupted, error);
  }

 private:
  PollReport page_;
};

template <typename Sink, typename... Args>
bool add_file_sink(Sinks& sinks, std::string& error, Args&&... args) {
  auto sink = std::make_unique<Sink>(std::forward<Args>(args)...);
  if (!sink->open(error)) return false;
  sinks.push_back(std::move(sink));
  return true;
}

}  // namespace

bool make_sinks(const BenchOptions& o, const RunFacts& facts, std::FILE* out, Sinks& sinks,
                std::string& error) {
  if (o.json) {
    sinks.push_back(std::make_unique<JsonSink>(out));
  } else if (o.watch && ::isatty(::fileno(out)) != 0) {
    sinks.push_back(std::make_unique<WatchSink>(out, o.slaves));
  } else {
    sinks.push_back(std::make_unique<TextSink>(out));
  }
  return (o.csv_path.empty() || add_file_sink<CsvSink>(sinks, error, o.csv_path)) &&
         (o.history_path.empty() || add_file_sink<HistorySink>(sinks, error, o.history_path)) &&
         (o.report_path.empty() || add_file_sink<ReportSink>(sinks, error, o.report_path, facts));
}

}  // namespace qxbench
