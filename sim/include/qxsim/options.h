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
  int slave = 0;                         ///< 0: the slave id the caller passes
  int line_baud = 0;                     ///< 0: answer at any line speed and format
  std::string format;                    ///< empty: 8N1 when line_baud is set
  std::string slaves;                    ///< "1,3,7": meters on the line (empty: the caller's ids)
  std::vector<std::string> profile_for;  ///< "ID=FILE": one meter's own profile
  std::vector<std::string> fault_for;    ///< "ID=KIND@N[:ARG]": a switch of one meter only
  std::string prefix = "--";             ///< how the switches are named, for messages
};

/// True when any switch was given (differs from its default).
bool any_switch(const SimOptions& options);

/// Adds --PREFIXprofile, --PREFIXfault, --PREFIXoutage-phase,
/// --PREFIXoutage-round, --PREFIXpace, --PREFIXline-baud, --PREFIXformat,
/// --PREFIXslaves, --PREFIXprofile-for and --PREFIXfault-for to `app` under
/// `group`.
void add_sim_options(CLI::App& app, SimOptions& options, const std::string& prefix,
                     const std::string& group);

/// Builds the simulator's configuration: loads the profiles, parses the
/// fault switches, the line. The meters are options.slaves, else
/// options.slave, else `slaves` (the first one at least). --profile and
/// --fault apply to every meter, each counting its own requests;
/// --profile-for and --fault-for to one. On failure returns false with a
/// message, and `file_problem` says whether a profile file was at fault
/// (else the switches themselves are: a usage error).
bool make_sim_config(const SimOptions& options, const std::vector<int>& slaves, SimConfig& config,
                     std::string& error, bool& file_problem);

}  // namespace qxsim
