// qx7540pm-bench preflight: will this controller load this plug-in? Checked
// from the files alone, before the controller is restarted with it.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace qxbench {

struct PreflightOptions {
  int pid = 0;                    ///< a running controller: its program and every mapped object
  std::string program;            ///< or its program file ...
  std::vector<std::string> libs;  ///< ... and the libraries it carries
  bool json = false;
  /// The plug-in as the one positional argument (else --plugin, else the default).
  std::vector<std::string> plugin_arguments;
};

CLI::App* add_preflight_command(CLI::App& app, PreflightOptions& options, std::string& plugin_path);

/// Prints the verdict; returns 0 (will load), 1 (will not) or 2 (usage, unreadable file).
int run_preflight(const PreflightOptions& options, const std::string& plugin_path);

}  // namespace qxbench
