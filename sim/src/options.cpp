#include "qxsim/options.h"

#include "qxcore/ids.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxsim {

bool any_switch(const SimOptions& o) {
  const SimOptions defaults;
  return o.profile_path != defaults.profile_path || !o.faults.empty() ||
         o.outage_phase != defaults.outage_phase || o.pace != defaults.pace ||
         o.slave != defaults.slave || o.line_baud != defaults.line_baud ||
         o.format != defaults.format || o.slaves != defaults.slaves || !o.profile_for.empty() ||
         !o.fault_for.empty();
}

void add_sim_options(CLI::App& app, SimOptions& options, const std::string& prefix,
                     const std::string& group) {
  const std::string p = "--" + prefix;
  options.prefix = p;
  app.add_option(p + "profile", options.profile_path,
                 _("Profile file (JSON): registers by number or snapshot key"))
      ->group(group);
  app.add_option(p + "fault", options.faults,
                 _("Fault switch KIND@REQUEST[:ARG], e.g. exception@3:2, repeatable; KIND: "
                   "ignore, crc, exception (ARG: its code, default 4), truncate, wrong-slave, "
                   "delay (ARG: ms, default 2000)"))
      ->group(group);
  app.add_option(p + "outage-phase", options.outage_phase, _("Drop this phase (A, B or C) to 0 V"))
      ->check(CLI::IsMember({"A", "B", "C", "a", "b", "c"}))
      ->group(group);
  // Rounds count from 1; the check after parsing says so in words (a range
  // check here would print a bound of 300 digits).
  app.add_option(p + "outage-round", options.outage_round,
                 _("First round of the outage (default 1)"))
      ->group(group);
  app.add_flag(p + "pace", options.pace,
               qxcore::format(_("Pace frames like a real serial line (speed: %s)"),
                              (p + "pace-baud").c_str()))
      ->group(group);
  app.add_option(p + "pace-baud", options.pace_baud, _("Line speed for pacing (default 9600)"))
      ->check(CLI::Range(300, 115200))
      ->group(group);
  app.add_option(p + "baud", options.line_baud,
                 _("Answer only a master set to this line speed (default: any)"))
      ->check(CLI::Range(50, 4000000))
      ->group(group);
  app.add_option(
         p + "format", options.format,
         qxcore::format(_("Frame format with %s, e.g. 8E1 (default 8N1)"), (p + "baud").c_str()))
      ->group(group);
  app.add_option(p + "slaves", options.slaves,
                 _("Meters on the line, e.g. 1,3,7 (ids and ranges; each answers its own id)"))
      ->group(group);
  app.add_option(p + "profile-for", options.profile_for,
                 _("ID=FILE: this meter's own profile, repeatable"))
      ->group(group);
  app.add_option(p + "fault-for", options.fault_for,
                 _("ID=KIND@REQUEST[:ARG]: a fault switch of this meter only (its own "
                   "requests counted), repeatable"))
      ->group(group);
}

namespace {

constexpr int kLowestSlave = 1;
constexpr int kHighestSlave = 247;

/// "ID=TEXT" with ID one of the meters; false with a message otherwise.
bool split_for(const std::string& option, const std::string& text, const std::vector<int>& ids,
               int& id, std::string& rest, std::string& error) {
  long number = 0;
  if (!qxcore::split_id_text(text, number, rest)) {
    error = qxcore::format(_("%s \"%s\": expected ID=..."), option.c_str(), text.c_str());
    return false;
  }
  bool known = false;
  for (int served : ids) known = known || served == number;
  if (!known) {
    error = qxcore::format(_("%s \"%s\": no simulated meter has slave id %ld"), option.c_str(),
                           text.c_str(), number);
    return false;
  }
  id = static_cast<int>(number);
  return true;
}

/// The further meters of the line, each with the shared profile and faults,
/// then --profile-for and --fault-for applied to their meters.
bool add_more_slaves(const SimOptions& options, const std::vector<int>& ids, SimConfig& config,
                     std::string& error, bool& file_problem) {
  config.more_slaves.clear();
  for (std::size_t i = 1; i < ids.size(); ++i) {
    config.more_slaves.push_back(SlaveSim{ids[i], config.profile, config.faults});
  }
  const auto faults_of = [&config](int id) -> FaultPlan& {
    for (SlaveSim& more : config.more_slaves) {
      if (more.slave == id) return more.faults;
    }
    return config.faults;
  };
  for (const std::string& text : options.profile_for) {
    int id = 0;
    std::string path;
    Profile profile;
    if (!split_for(options.prefix + "profile-for", text, ids, id, path, error)) return false;
    if (!load_profile(path, profile, error)) {
      file_problem = true;
      return false;
    }
    if (id == config.slave) config.profile = profile;
    for (SlaveSim& more : config.more_slaves) {
      if (more.slave == id) more.profile = profile;
    }
  }
  for (const std::string& text : options.fault_for) {
    int id = 0;
    std::string rest;
    FaultSwitch s;
    if (!split_for(options.prefix + "fault-for", text, ids, id, rest, error) ||
        !parse_fault_switch(rest, s, error)) {
      return false;
    }
    faults_of(id).switches.push_back(s);
  }
  return true;
}

}  // namespace

bool make_sim_config(const SimOptions& options, const std::vector<int>& slaves, SimConfig& config,
                     std::string& error, bool& file_problem) {
  file_problem = false;
  std::vector<int> ids = slaves;
  if (!options.slaves.empty()) {
    if (!qxcore::parse_id_list(options.prefix + "slaves", options.slaves, kLowestSlave,
                               kHighestSlave, ids, error)) {
      return false;
    }
  } else if (options.slave != 0) {
    ids.assign(1, options.slave);
  }
  if (ids.empty()) ids.assign(1, 1);
  config.slave = ids.front();
  if (!options.format.empty() && !qxcore::parse_frame_format(options.format, config.line)) {
    error = qxcore::format(_("line format \"%s\": expected data bits, parity, stop bits (8N1)"),
                           options.format.c_str());
    return false;
  }
  if (!options.format.empty() && options.line_baud == 0) {
    error = _("the line format applies with a line speed (baud)");
    return false;
  }
  config.line.baud = options.line_baud;
  if (!options.profile_path.empty() && !load_profile(options.profile_path, config.profile, error)) {
    file_problem = true;
    return false;
  }
  for (const std::string& text : options.faults) {
    FaultSwitch s;
    if (!parse_fault_switch(text, s, error)) return false;
    config.faults.switches.push_back(s);
  }
  if (options.outage_round < 1) {
    error = _("the outage's first round must be 1 or more");
    return false;
  }
  if (!options.outage_phase.empty()) {
    config.faults.outage.phase =
        static_cast<char>(std::toupper(static_cast<unsigned char>(options.outage_phase[0])));
    config.faults.outage.from_round = options.outage_round;
  }
  config.pace_baud = options.pace ? options.pace_baud : 0;
  return add_more_slaves(options, ids, config, error, file_problem);
}

}  // namespace qxsim
