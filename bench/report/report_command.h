// The commissioning report, made two ways: `--report FILE.html` while
// polling, and `qx7540pm-bench report FILE.csv` from the CSV of a run.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "output_file.h"
#include "qxi18n/i18n.h"
#include "round_format.h"
#include "run_record.h"

namespace qxbench {

struct ReportOptions {
  std::string csv_path;
  std::string output_path;  ///< empty: the CSV's name with .html
};

CLI::App* add_report_command(CLI::App& app, ReportOptions& options);

/// Reads the CSV and writes its report; returns the bench's exit code.
int run_report(const ReportOptions& options);

/// --report: collects the rounds as they are shown and writes the page when
/// the run ends.
class PollReport {
 public:
  explicit PollReport(const std::string& path) : file_(path, C_("file kind", "report file")) {}
  /// Makes the temporary file now, so that an unwritable place stops the
  /// bench before it polls; the page replaces the file only when whole.
  bool open(std::string& error);
  /// The run's facts: the link as the summary names it, the polling settings
  /// and the plug-in file the meters came from.
  void describe(const Summary& link, const std::string& polling, const std::string& plugin_path);
  void add(const RoundResult& report);
  bool finish(bool interrupted, std::string& error);

 private:
  OutputFile file_;
  RecordedRun run_;
};

}  // namespace qxbench
