// qx7540pm-bench scan: sweeps line settings and slave ids for meters. Each
// id gets one round of the device's own polling; a responder is judged from
// the snapshot the device renders of what it answered.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "output/output.h"
#include "qxcore/line_setting.h"
#include "qxsim/meter_sim.h"

#include "qxsim/options.h"

namespace qxbench {

struct ScanOptions {
  std::string port;
  std::string tcp;
  std::string slaves = "1-247";
  std::string bauds = "9600,19200,4800,2400,38400,57600,115200,1200";
  std::string formats = "8N1,8E1,8O1,8N2";
  int timeout_ms = 100;
  bool all = false;      ///< every line setting, not only up to the first that found a meter
  OutputOptions output;  ///< --json: one object per responder, then a summary object
  bool trace = false;    ///< every frame of every probe (JSON: each responder's)
  qxsim::SimOptions sim;
};

using qxcore::LineSetting;

/// The baud and format lists into the line settings to try, baud by baud.
bool parse_line_settings(const std::string& bauds, const std::string& formats,
                         std::vector<LineSetting>& settings, std::string& error);

/// Adds the scan subcommand; plugin_path is the bench's own --plugin.
CLI::App* add_scan_command(CLI::App& app, ScanOptions& options, std::string& plugin_path);

/// Scans through a device of the plug-in at plugin_path; plugin_given: the
/// plug-in was named on the command line (the printed commands name it too).
/// Returns the bench's exit code: 0 a meter found, 1 none.
int run_scan(const ScanOptions& options, const std::string& plugin_path, bool plugin_given);

}  // namespace qxbench
