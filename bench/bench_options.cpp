#include "bench_options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>

#include "bench_help.h"

namespace qxbench {
namespace {

constexpr int kModbusTcpPort = 502;

bool uses_sim_switches(const qxsim::SimOptions& sim) {
  return !sim.profile_path.empty() || !sim.faults.empty() || !sim.outage_phase.empty() ||
         sim.pace || sim.slave != 0 || sim.line_baud != 0 || !sim.format.empty() ||
         !sim.slaves.empty() || !sim.profile_for.empty() || !sim.fault_for.empty();
}

}  // namespace

void add_sim_options(CLI::App& app, qxsim::SimOptions& sim) {
  const std::string group = "Built-in simulated meter (without --port/--tcp)";
  qxsim::add_sim_options(app, sim, "sim-", group);
  app.add_option("--sim-slave", sim.slave, "The simulated meter's slave id (default: --slave)")
      ->check(CLI::Range(1, 247))
      ->group(group);
}

void add_bench_options(CLI::App& app, BenchOptions& o) {
  app.add_option("--plugin", o.plugin_path,
                 "Plug-in to load (default: the qx7540pm.so installed or built with the bench)");
  auto* port =
      app.add_option("--port", o.port, "Serial device of the meter (Modbus RTU)")->group("Link");
  auto* tcp = app.add_option("--tcp", o.tcp, "Modbus TCP gateway HOST[:PORT] (default port 502)")
                  ->group("Link");
  port->excludes(tcp);
  tcp->excludes(port);
  app.add_option("--baud", o.baud, "Line speed (default: the device's own, 9600)")
      ->check(CLI::Range(50, 4000000))
      ->group("Link");
  app.add_option_function<std::string>(
         "--parity",
         [&o](const std::string& p) { o.parity = static_cast<char>(std::toupper(p[0])); },
         "N, E or O (none, even, odd; default N)")
      ->check(CLI::IsMember({"N", "E", "O", "n", "e", "o", "none", "even", "odd"}))
      ->group("Link");
  app.add_option("--data-bits", o.data_bits, "5 to 8 (default 8)")
      ->check(CLI::Range(5, 8))
      ->group("Link");
  app.add_option("--stop-bits", o.stop_bits, "1 or 2 (default 1)")
      ->check(CLI::Range(1, 2))
      ->group("Link");
  app.add_option("--slave", o.slave_list,
                 "Slave id or TCP unit id (default 1); several meters on the line: a list "
                 "and ranges, e.g. 1,3,7 or 1-4, polled in turn")
      ->group("Link");
  app.add_option("--timeout", o.timeout_ms, "Response timeout in ms (default 500)")
      ->check(CLI::Range(1, 60000))
      ->group("Link");
  app.add_option("--interval", o.interval_ms, "Time between round starts in ms (default 1000)")
      ->check(CLI::Range(0, 3600000))
      ->group("Polling");
  app.add_option("--rounds", o.rounds, "Rounds to poll (default 0: until Ctrl-C)")
      ->group("Polling");
  app.add_option("--settings", o.settings_path,
                 "Device settings: the JSON object the controller passes (with appSetting)")
      ->group("Device");
  app.add_option("--settings-for", o.settings_for,
                 "ID=FILE: this meter's own settings instead of --settings, repeatable")
      ->group("Device");
  app.add_option("--cache", o.cache_path, "Restore this cached 91-byte record before polling")
      ->group("Device");
  app.add_option("--history", o.history_path, "Append every stored 91-byte record to this file")
      ->group("Device");
  app.add_option("--csv", o.csv_path,
                 "Write one CSV row per round to this file (UTF-8, with the snapshot's keys)");
  app.add_option("--report", o.report_path,
                 "Write the commissioning report (one HTML file with charts, opens offline) "
                 "to this file when the run ends");
  app.add_flag("--json", o.json,
               "One JSON object per round on standard output, then a summary object");
  app.add_flag("--trace", o.trace,
               "Show every Modbus frame sent and received, with a monotonic time stamp");
  app.add_flag("--watch", o.watch,
               "On a terminal, redraw one screen per cycle (a row per meter) instead of "
               "scrolling; ignored when standard output is not a terminal");
  add_sim_options(app, o.sim);
  app.footer(kHelpFooter);
}

bool check_sim_options(const qxsim::SimOptions& sim, bool simulated, std::string& error) {
  if (sim.outage_round < 1) {
    error = "--sim-outage-round: rounds count from 1";
    return false;
  }
  if (!simulated && uses_sim_switches(sim)) {
    error = "the --sim-* switches drive the built-in simulated meter; leave out --port/--tcp";
    return false;
  }
  return true;
}

bool check_bench_options(BenchOptions& o, std::string& error) {
  const bool simulated = o.port.empty() && o.tcp.empty();
  // RTU slave ids are 1..247; a TCP gateway takes any unit id.
  if (!qxsim::parse_id_list("--slave", o.slave_list, o.tcp.empty() ? 1 : 0,
                            o.tcp.empty() ? 247 : 255, o.slaves, error)) {
    return false;
  }
  o.slave = o.slaves.front();
  for (const std::string& text : o.settings_for) {
    const auto equals = text.find('=');
    long id = -1;
    if (equals == std::string::npos || !qxsim::parse_number(text.substr(0, equals), id) ||
        std::find(o.slaves.begin(), o.slaves.end(), id) == o.slaves.end()) {
      error = "--settings-for \"" + text + "\": expected ID=FILE with ID one of --slave";
      return false;
    }
  }
  if (o.rounds < 0) {
    error = "--rounds: give a number of rounds, or 0 to poll until Ctrl-C";
    return false;
  }
  return check_sim_options(o.sim, simulated, error);
}

void split_host_port(const std::string& text, std::string& host, int& port) {
  port = kModbusTcpPort;
  host = text;
  std::string::size_type colon = std::string::npos;
  if (!text.empty() && text.front() == '[') {
    const auto bracket = text.find(']');
    if (bracket == std::string::npos) return;
    host = text.substr(1, bracket - 1);
    if (bracket + 1 < text.size() && text[bracket + 1] == ':') colon = bracket + 1;
  } else if (text.find(':') == text.rfind(':')) {
    // One colon: host and port. A bare IPv6 address has several.
    colon = text.find(':');
    if (colon != std::string::npos) host = text.substr(0, colon);
  }
  if (colon != std::string::npos) port = std::atoi(text.c_str() + colon + 1);
}

void fail(const std::string& message) { std::cerr << "qx7540pm-bench: " << message << std::endl; }

int attach_meter(const std::string& plugin_path, zelfw::Framework& framework,
                 qxhost::MeterPtr& meter) {
  try {
    meter = qxhost::Plugin::open(plugin_path).create_meter();
  } catch (const qxhost::LoadError& e) {
    fail(e.what());
    return kExitPlugin;
  }
  framework.attach(*meter);
  return kExitOk;
}

}  // namespace qxbench
