// qx7540pm-bench: loads the plug-in as the controller does and polls a meter
// (real, behind a TCP gateway, or the built-in simulated one) over Modbus.
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "bench_options.h"
#include "decode.h"
#include "poll.h"
#include "preflight.h"
#include "qxcore/cli.h"
#include "qxhost/version.h"
#include "qxi18n/i18n.h"
#include "report_command.h"
#include "scan.h"
#include "signals.h"

int main(int argc, char** argv) {
  qxi18n::init(qxi18n::find_lang_option(argc, argv));
  qxbench::BenchOptions options;
  CLI::App app{_("Loads the qx7540pm plug-in as the controller does and polls a meter over Modbus"),
               "qx7540pm-bench"};
  // Before the subcommands, which take it from here.
  app.failure_message(qxcore::failure_message);
  app.set_version_flag("--version", std::string("qx7540pm-bench ") + qxhost::project_version());
  qxbench::add_bench_options(app, options);
  qxbench::DecodeOptions decode;
  const CLI::App* decode_command = qxbench::add_decode_command(app, decode, options.plugin_path);
  qxbench::ScanOptions scan;
  const CLI::App* scan_command = qxbench::add_scan_command(app, scan, options.plugin_path);
  qxbench::ReportOptions report;
  const CLI::App* report_command = qxbench::add_report_command(app, report);
  qxbench::PreflightOptions preflight;
  const CLI::App* preflight_command =
      qxbench::add_preflight_command(app, preflight, options.plugin_path);
  std::string lang;
  // Taken by qxi18n::init() above; declared so that it parses and shows in --help.
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    command->add_option("--lang", lang, qxi18n::lang_option_help())
        ->check(CLI::IsMember(qxi18n::languages()));
  }
  app.add_option("--lang", lang, qxi18n::lang_option_help())
      ->check(CLI::IsMember(qxi18n::languages()));
  app.require_subcommand(0, 1);
  qxcore::localize_help(app);
  try {
    app.parse(argc, argv);
    std::string error;
    if (!*decode_command && !*scan_command && !*report_command && !*preflight_command &&
        !qxbench::check_bench_options(options, error)) {
      throw CLI::ValidationError(error);
    }
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : qxbench::kExitUsage;
  }
  // Ctrl-C while files are read ends the bench at once (a polling run and a
  // scan stop cleanly instead, with their summary).
  std::optional<qxbench::SignalWatcher> watcher;
  if (*decode_command || *report_command) watcher.emplace(qxbench::block_signals());
  if (*decode_command) {
    return qxbench::run_decode(
        decode, options.plugin_path.empty() ? qxbench::default_plugin_path() : options.plugin_path);
  }
  if (*report_command) return qxbench::run_report(report);
  if (*preflight_command) {
    return qxbench::run_preflight(preflight, options.plugin_path.empty()
                                                 ? qxbench::default_plugin_path()
                                                 : options.plugin_path);
  }
  if (*scan_command) {
    scan.output.json = scan.output.json || options.output.json;
    scan.trace = scan.trace || options.trace;  // `qx7540pm-bench --json scan` as well
    return qxbench::run_scan(
        scan, options.plugin_path.empty() ? qxbench::default_plugin_path() : options.plugin_path,
        !options.plugin_path.empty());
  }
  return qxbench::run_bench(options);
}
