// CSV: a polling run's --csv file (a row per round, the run's CSV that
// `report FILE.csv` reads back) and decode's --csv on standard output (a
// row per record). UTF-8 with a byte-order mark, CRLF rows.
#include "csv.h"
#include "output/output.h"
#include "output_file.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "run_csv.h"

namespace qxbench {
namespace {

/// --csv FILE: the header, then a row per round.
class RunCsvOutput : public Output {
 public:
  explicit RunCsvOutput(const std::string& path) : file_(path, C_("file kind", "CSV file")) {}
  bool open(std::string& error) {
    if (!file_.open(false, error)) return false;
    if (file_.write(std::string(qxcore::kByteOrderMark)) &&
        file_.write(csv_line(run_csv_columns()))) {
      return true;
    }
    error = file_.error();
    return false;
  }
  void round(const RoundResult& report, const Summary&) override {
    file_.write(csv_line(run_csv_row(report)));
  }
  bool end(const LineSummary&, std::string& error) override { return file_.commit(error); }

 private:
  OutputFile file_;
};

/// decode --csv: the header with the snapshot's keys, then a row per record.
class RecordCsvOutput : public Output {
 public:
  explicit RecordCsvOutput(std::FILE* out) : csv_(out) {
    std::vector<std::string> columns = {"file", "index", "data_id", "stamp"};
    for (std::string& key : snapshot_keys()) columns.push_back(std::move(key));
    csv_.write_header(columns);
  }
  void record(const DecodedRecord& r) override {
    std::vector<std::string> fields = {r.path, std::to_string(r.index),
                                       std::to_string(r.record.device_data_id), r.stamp};
    for (std::string& field : snapshot_fields(r.values)) fields.push_back(std::move(field));
    csv_.write_row(fields);
  }

 private:
  CsvWriter csv_;
};

}  // namespace

bool make_csv_output(const OutputContext& context, Outputs& outputs, std::string& error) {
  if (screen_of(context) == Screen::kCsv) {
    outputs.push_back(std::make_unique<RecordCsvOutput>(context.out));
  }
  if (context.command != Command::kPoll || context.options.csv_path.empty()) return true;
  return add_file_output<RunCsvOutput>(outputs, error, context.options.csv_path);
}

}  // namespace qxbench
