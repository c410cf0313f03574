#include "bench_options.h"

#include "qxcore/ids.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>

#include "bench_help.h"
#include "diagnosis/diagnosis_options.h"
#include "qxi18n/text_width.h"

namespace qxbench {
namespace {

constexpr int kModbusTcpPort = 502;

}  // namespace

std::string help_footer() {
  std::string text;
  for (const HelpPiece& piece : kHelpFooter) {
    if (!piece.translated) {
      text.append(piece.text).append("\n");
      continue;
    }
    for (const std::string& line :
         qxi18n::wrap_to_width(_(piece.text), kHelpWidth, piece.first_indent, piece.indent)) {
      text.append(line).append("\n");
    }
  }
  if (!text.empty()) text.pop_back();
  return text;
}

void add_sim_options(CLI::App& app, qxsim::SimOptions& sim) {
  const std::string group = _("Built-in simulated meter (without --port/--tcp)");
  qxsim::add_sim_options(app, sim, "sim-", group);
  app.add_option("--sim-slave", sim.slave, _("The simulated meter's slave id (default: --slave)"))
      ->check(CLI::Range(1, 247))
      ->group(group);
}

void add_bench_options(CLI::App& app, BenchOptions& o) {
  app.add_option("--plugin", o.plugin_path,
                 _("Plug-in to load (default: the qx7540pm.so installed or built with the bench)"));
  // An empty value would fall back to the simulated meter unnoticed.
  const CLI::Validator given(
      [](std::string& value) {
        return value.empty() ? std::string(_("an empty value: give the device or gateway"))
                             : std::string();
      },
      "");
  auto* port = app.add_option("--port", o.port, _("Serial device of the meter (Modbus RTU)"))
                   ->check(given)
                   ->group(C_("option group", "Link"));
  auto* tcp = app.add_option("--tcp", o.tcp, _("Modbus TCP gateway HOST[:PORT] (default port 502)"))
                  ->check(given)
                  ->group(C_("option group", "Link"));
  port->excludes(tcp);
  tcp->excludes(port);
  app.add_option("--baud", o.line.baud, _("Line speed (default: the device's own, 9600)"))
      ->check(CLI::Range(50, 4000000))
      ->group(C_("option group", "Link"));
  app.add_option_function<std::string>(
         "--parity",
         [&o](const std::string& p) { o.line.parity = static_cast<char>(std::toupper(p[0])); },
         _("N, E or O (none, even, odd; default N)"))
      ->check(CLI::IsMember({"N", "E", "O", "n", "e", "o", "none", "even", "odd"}))
      ->group(C_("option group", "Link"));
  app.add_option("--data-bits", o.line.data_bits, _("5 to 8 (default 8)"))
      ->check(CLI::Range(5, 8))
      ->group(C_("option group", "Link"));
  app.add_option("--stop-bits", o.line.stop_bits, _("1 or 2 (default 1)"))
      ->check(CLI::Range(1, 2))
      ->group(C_("option group", "Link"));
  app.add_option("--slave", o.slave_list,
                 _("Slave id or TCP unit id (default 1); several meters on the line: a list "
                   "and ranges, e.g. 1,3,7 or 1-4, polled in turn"))
      ->group(C_("option group", "Link"));
  app.add_option("--timeout", o.timeout_ms, _("Response timeout in ms (default 500)"))
      ->check(CLI::Range(1, 60000))
      ->group(C_("option group", "Link"));
  app.add_option("--interval", o.interval_ms, _("Time between round starts in ms (default 1000)"))
      ->check(CLI::Range(0, 3600000))
      ->group(C_("option group", "Polling"));
  app.add_option("--rounds", o.rounds, _("Rounds to poll (default 0: until Ctrl-C)"))
      ->group(C_("option group", "Polling"));
  app.add_option("--settings", o.settings_path,
                 _("Device settings: the JSON object the controller passes (with appSetting)"))
      ->group(C_("option group", "Device"));
  app.add_option("--settings-for", o.settings_for,
                 _("ID=FILE: this meter's own settings instead of --settings, repeatable"))
      ->group(C_("option group", "Device"));
  app.add_option("--cache", o.cache_path, _("Restore this cached 91-byte record before polling"))
      ->group(C_("option group", "Device"));
  app.add_option("--history", o.output.history_path,
                 _("Append every stored 91-byte record to this file"))
      ->group(C_("option group", "Device"));
  app.add_option("--csv", o.output.csv_path,
                 _("Write one CSV row per round to this file (UTF-8, with the snapshot's keys)"));
  app.add_option("--report", o.output.report_path,
                 _("Write the commissioning report (one HTML file with charts, opens offline) "
                   "to this file when the run ends"));
  app.add_flag("--json", o.output.json,
               _("One JSON object per round on standard output, then a summary object"));
  app.add_flag("--trace", o.trace,
               _("Show every Modbus frame sent and received, with a monotonic time stamp"));
  app.add_flag("--watch", o.output.watch,
               _("On a terminal, redraw one screen per cycle (a row per meter) instead of "
                 "scrolling; ignored when standard output is not a terminal"));
  add_diagnosis_options(app, o.diagnosis);
  add_sim_options(app, o.sim);
  app.footer(help_footer());
}

bool check_sim_options(const qxsim::SimOptions& sim, bool simulated, std::string& error) {
  if (sim.outage_round < 1) {
    error = _("--sim-outage-round: rounds count from 1");
    return false;
  }
  if (!simulated && qxsim::any_switch(sim)) {
    error = _("the --sim-* switches drive the built-in simulated meter; leave out --port/--tcp");
    return false;
  }
  return true;
}

bool check_bench_options(BenchOptions& o, std::string& error) {
  const bool simulated = o.port.empty() && o.tcp.empty();
  // RTU slave ids are 1..247; a TCP gateway takes any unit id.
  if (!qxcore::parse_id_list("--slave", o.slave_list, o.tcp.empty() ? 1 : 0,
                             o.tcp.empty() ? 247 : 255, o.slaves, error)) {
    return false;
  }
  o.slave = o.slaves.front();
  for (const std::string& text : o.settings_for) {
    long id = -1;
    std::string path;
    if (!qxcore::split_id_text(text, id, path) ||
        std::find(o.slaves.begin(), o.slaves.end(), id) == o.slaves.end()) {
      error = qxcore::format(_("--settings-for \"%s\": expected ID=FILE with ID one of --slave"),
                             text.c_str());
      return false;
    }
  }
  if (!o.tcp.empty()) {
    std::string host;
    int port = 0;
    if (!parse_host_port(o.tcp, host, port, error)) return false;
  }
  if (o.rounds < 0) {
    error = _("--rounds: give a number of rounds, or 0 to poll until Ctrl-C");
    return false;
  }
  return check_sim_options(o.sim, simulated, error);
}

bool parse_host_port(const std::string& text, std::string& host, int& port, std::string& error) {
  port = kModbusTcpPort;
  host = text;
  std::string port_text;
  bool has_port = false;
  if (!text.empty() && text.front() == '[') {
    const auto bracket = text.find(']');
    if (bracket == std::string::npos || bracket == 1 ||
        (bracket + 1 < text.size() && text[bracket + 1] != ':')) {
      error = qxcore::format(
          _("--tcp \"%s\": an IPv6 gateway is written [ADDRESS] or [ADDRESS]:PORT"), text.c_str());
      return false;
    }
    host = text.substr(1, bracket - 1);
    has_port = bracket + 1 < text.size();
    if (has_port) port_text = text.substr(bracket + 2);
  } else if (text.find(':') == text.rfind(':') && text.find(':') != std::string::npos) {
    // One colon: host and port. A bare IPv6 address has several.
    host = text.substr(0, text.find(':'));
    has_port = true;
    port_text = text.substr(text.find(':') + 1);
  }
  if (host.empty()) {
    error = qxcore::format(_("--tcp \"%s\": give the gateway's address, HOST or HOST:PORT"),
                           text.c_str());
    return false;
  }
  if (has_port) {
    long value = 0;
    if (!qxcore::parse_number(port_text, value) || value < 1 || value > 65535) {
      error = qxcore::format(_("--tcp \"%s\": the port must be a number from 1 to 65535"),
                             text.c_str());
      return false;
    }
    port = static_cast<int>(value);
  }
  return true;
}

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
