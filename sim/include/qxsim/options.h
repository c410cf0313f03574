// Command-line switches for the simulated meter, shared by the stand-alone
// simulator and the bench host (which prefixes them with "sim-").
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "qxsim/meter_sim.h"

namespace qxsim {

struct SimOptions {
  std::string profile_path;
  std::vector<std::string> faults;
  std::string outage_phase;
  long outage_round = 1;
  bool pace = false;
  int pace_baud = 9600;
  int slave = 0;       ///< 0: the slave id the caller passes
  int line_baud = 0;   ///< 0: answer at any line speed and format
  std::string format;  ///< empty: 8N1 when line_baud is set
};

/// Adds --PREFIXprofile, --PREFIXfault, --PREFIXoutage-phase,
/// --PREFIXoutage-round, --PREFIXpace, --PREFIXline-baud and --PREFIXformat
/// to `app` under `group`.
void add_sim_options(CLI::App& app, SimOptions& options, const std::string& prefix,
                     const std::string& group);

/// Builds the simulator's configuration: loads the profile, parses the fault
/// switches, the line. `slave` applies unless options.slave is set. On
/// failure returns false with a message.
bool make_sim_config(const SimOptions& options, int slave, SimConfig& config, std::string& error);

}  // namespace qxsim
