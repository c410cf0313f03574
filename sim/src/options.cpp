#include "qxsim/options.h"

namespace qxsim {

void add_sim_options(CLI::App& app, SimOptions& options, const std::string& prefix,
                     const std::string& group) {
  const std::string p = "--" + prefix;
  app.add_option(p + "profile", options.profile_path,
                 "Profile file (JSON): registers by number or snapshot key")
      ->group(group);
  app.add_option(p + "fault", options.faults,
                 "Fault switch KIND@REQUEST[:ARG], repeatable; KIND: ignore, crc, "
                 "exception[:code], truncate, wrong-slave, delay[:ms]")
      ->group(group);
  app.add_option(p + "outage-phase", options.outage_phase, "Drop this phase (A, B or C) to 0 V")
      ->check(CLI::IsMember({"A", "B", "C", "a", "b", "c"}))
      ->group(group);
  app.add_option(p + "outage-round", options.outage_round, "First round of the outage (default 1)")
      ->check(CLI::PositiveNumber)
      ->group(group);
  app.add_flag(p + "pace", options.pace,
               "Pace frames like a real serial line (speed: " + p + "pace-baud)")
      ->group(group);
  app.add_option(p + "pace-baud", options.pace_baud, "Line speed for pacing (default 9600)")
      ->check(CLI::Range(300, 115200))
      ->group(group);
  app.add_option(p + "baud", options.line_baud,
                 "Answer only a master set to this line speed (default: any)")
      ->check(CLI::Range(50, 4000000))
      ->group(group);
  app.add_option(p + "format", options.format,
                 "Frame format with " + p + "baud, e.g. 8E1 (default 8N1)")
      ->group(group);
}

bool make_sim_config(const SimOptions& options, int slave, SimConfig& config, std::string& error) {
  config.slave = options.slave != 0 ? options.slave : slave;
  if (!options.format.empty() && !parse_line_format(options.format, config.line_format)) {
    error = "line format \"" + options.format + "\": expected data bits, parity, stop bits (8N1)";
    return false;
  }
  if (!options.format.empty() && options.line_baud == 0) {
    error = "the line format applies with a line speed (baud)";
    return false;
  }
  config.line_baud = options.line_baud;
  if (!options.profile_path.empty() && !load_profile(options.profile_path, config.profile, error)) {
    return false;
  }
  for (const std::string& text : options.faults) {
    FaultSwitch s;
    if (!parse_fault_switch(text, s, error)) return false;
    config.faults.switches.push_back(s);
  }
  if (options.outage_round < 1) {
    error = "the outage's first round must be 1 or more";
    return false;
  }
  if (!options.outage_phase.empty()) {
    config.faults.outage.phase =
        static_cast<char>(std::toupper(static_cast<unsigned char>(options.outage_phase[0])));
    config.faults.outage.from_round = options.outage_round;
  }
  config.pace_baud = options.pace ? options.pace_baud : 0;
  return true;
}

}  // namespace qxsim
