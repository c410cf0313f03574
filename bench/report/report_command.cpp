#include "report_command.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "bench_options.h"
#include "plugin_identity.h"
#include "qxhost/identity.h"
#include "qxhost/plugin.h"
#include "report_html.h"
#include "run_csv.h"

namespace qxbench {
namespace {

std::string html_name_for(const std::string& csv_path) {
  const auto slash = csv_path.find_last_of('/');
  const auto dot = csv_path.find_last_of('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_extension ? csv_path.substr(0, dot) : csv_path) + ".html";
}

}  // namespace

CLI::App* add_report_command(CLI::App& app, ReportOptions& options) {
  CLI::App* report = app.add_subcommand(
      "report", _("Make the commissioning report (one HTML file, opens offline) from a run's CSV"));
  report->add_option("csv", options.csv_path, _("The CSV a polling run wrote with --csv"))
      ->required();
  report->add_option("-o,--output", options.output_path,
                     _("The HTML file to write (default: the CSV's name with .html)"));
  report->footer(
      _("Exit codes: 0 written, 2 usage, 4 the CSV unusable or the report's name taken (by the "
        "CSV; without -o, by any file), 6 the report file could not be written, 130 interrupted."));
  return report;
}

int run_report(const ReportOptions& options) {
  RecordedRun run;
  std::string error;
  if (!read_run_csv(options.csv_path, run, error)) {
    fail(error);
    return kExitInput;
  }
  const std::string output =
      options.output_path.empty() ? html_name_for(options.csv_path) : options.output_path;
  if (!outputs_apart_from_inputs({output}, {options.csv_path}, error)) {
    fail(error);
    return kExitInput;
  }
  // The report named after the CSV never replaces one that is there: it may
  // be the live run's own report, which has what a CSV does not keep.
  OutputFile file(output, C_("file kind", "report file"));
  struct stat existing {};
  if (options.output_path.empty()) {
    if (::lstat(output.c_str(), &existing) == 0) {
      fail(exists_message(C_("file kind", "report file"), output));
      return kExitInput;
    }
    file.keep_existing();
  }
  if (!file.open(false, error)) {
    fail(error);
    return kExitInput;
  }
  if (!write_report(run, file, error)) {
    fail(error);
    return kExitOutput;
  }
  return kExitOk;
}

bool PollReport::open(std::string& error) {
  run_.started = qxcore::local_time_now();
  return file_.open(false, error);
}

void PollReport::add(const RoundResult& report) { record_round(run_, report); }

void PollReport::describe(const Summary& link, const std::string& polling,
                          const std::string& plugin_path) {
  run_.source = qxcore::format(_("polled by qx7540pm-bench %s"), QX_PROJECT_VERSION);
  run_.link = link.link.translated();
  run_.polling = polling;
  run_.wire_minimum_ms = link.wire_minimum_ms;
  run_.wire_note = link.wire_note;
  char resolved[PATH_MAX];
  run_.plugin_path = ::realpath(plugin_path.c_str(), resolved) != nullptr ? resolved : plugin_path;
  // The loaded plug-in names itself (its version note and build-id); a file
  // that cannot be loaded again here still shows its build-id.
  PluginIdentity identity = identify_plugin(plugin_path);
  try {
    const qxhost::PluginIdentity loaded = qxhost::identify(qxhost::Plugin::open(plugin_path));
    if (!loaded.version.empty()) identity.version = loaded.version;
    if (!loaded.build_id.empty()) identity.build_id = loaded.build_id;
  } catch (const qxhost::LoadError&) {
  }
  run_.plugin_version = identity.version;
  run_.plugin_build_id = identity.build_id;
}

bool PollReport::finish(bool interrupted, std::string& error) {
  run_.ended = qxcore::local_time_now();
  run_.interrupted = interrupted;
  return write_report(run_, file_, error);
}

}  // namespace qxbench
