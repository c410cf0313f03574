// The bench host's command line, exit codes and the steps every subcommand shares.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "diagnosis/diagnosis.h"
#include "output/output.h"
#include "qxcore/exit_codes.h"
#include "qxcore/line_setting.h"
#include "qxcore/text.h"
#include "qxhost/plugin.h"
#include "qxsim/options.h"
#include "zelfw/standin.h"

namespace qxbench {

using qxcore::kExitInput;
using qxcore::kExitInterrupted;
using qxcore::kExitOk;
using qxcore::kExitOutput;
using qxcore::kExitPlugin;
using qxcore::kExitPort;
using qxcore::kExitRoundsFailed;
using qxcore::kExitUsage;
/// One line "qx7540pm-bench: message" on standard error.
using qxcore::fail;

/// Loads the plug-in at plugin_path as the controller does, makes a meter and
/// attaches it to the framework: kExitOk, or kExitPlugin after saying why.
int attach_meter(const std::string& plugin_path, zelfw::Framework& framework,
                 qxhost::MeterPtr& meter);

struct BenchOptions {
  std::string plugin_path;  ///< empty: the plug-in built next to the bench
  std::string port;
  std::string tcp;
  qxcore::LineSetting line = {0, 8, 'N', 1};  ///< baud 0: the device's own baud_rate
  std::string slave_list = "1";  ///< --slave: one id, or a list and ranges for several meters
  std::vector<int> slaves{1};    ///< slave_list, parsed by check_bench_options
  int slave = 1;                 ///< the first of them
  int timeout_ms = 500;
  int interval_ms = 1000;
  long rounds = 0;  ///< 0: until interrupted
  std::string settings_path;
  std::vector<std::string> settings_for;  ///< "ID=FILE": one meter's own settings
  std::string cache_path;
  OutputOptions output;  ///< --json, --watch, --csv, --history, --report
  bool trace = false;    ///< every frame on the wire, with each round
  qxsim::SimOptions sim;
  /// What the supply is judged against.
  DiagnosisBasis diagnosis;
};

void add_bench_options(CLI::App& app, BenchOptions& options);

/// The end of --help (notes, examples, exit status, files) in the run's
/// language, its texts wrapped to the terminal by display width.
std::string help_footer();
/// The built-in simulator's --sim-* switches, --sim-slave among them.
void add_sim_options(CLI::App& app, qxsim::SimOptions& sim);
/// The --sim-* switches make sense only for the built-in simulator.
bool check_sim_options(const qxsim::SimOptions& sim, bool simulated, std::string& error);
/// Checks what CLI11 cannot: combinations of options; parses the slave list.
bool check_bench_options(BenchOptions& options, std::string& error);
/// "host:port" or "host" (port 502); "[v6addr]:port" too. False with a
/// message for an empty host, a port that is not 1..65535, a malformed [v6].
bool parse_host_port(const std::string& text, std::string& host, int& port, std::string& error);

}  // namespace qxbench
