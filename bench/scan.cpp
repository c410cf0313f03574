#include "scan.h"

#include "qxcore/ids.h"
#include "qxcore/line_setting.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include "bench_options.h"
#include "qx7540pm.h"
#include "qx7540pm_data.h"
#include "qxhost/output.h"
#include "qxhost/plugin.h"
#include "qxhost/snapshot.h"
#include "qxsim/meter_sim.h"
#include "round_format.h"
#include "scan_output.h"
#include "session.h"
#include "signals.h"
#include "zelfw/modbus_link.h"
#include "zelfw/standin.h"

namespace qxbench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLowestRtuSlave = 1;
constexpr int kHighestRtuSlave = 247;
constexpr int kHighestTcpUnit = 255;
/// Line speeds libmodbus sets on a serial port (it takes any other as 9600).
constexpr int kLineSpeeds[] = {110,   300,   600,   1200,   2400,   4800,   9600,
                               19200, 38400, 57600, 115200, 230400, 460800, 921600};

using qxcore::parse_number;
using qxcore::split_commas;

bool known_speed(long baud) {
  for (int speed : kLineSpeeds) {
    if (speed == baud) return true;
  }
  return false;
}

/// The device's first read answered (a reply or an exception), or not.
Probe probe_slave(QX7540PM& meter, const qxhost::Plugin& plugin, zelfw::Framework& framework,
                  zelfw::LibModbusLink& link, std::vector<unsigned char>& published) {
  Probe probe;
  const zelfw::LinkCounts before = link.counts();
  published.clear();
  // The link answers inside the call: when it returns, the round is over.
  meter.RefreshStatus();
  framework.clear_calls();
  const zelfw::LinkCounts after = link.counts();
  if (after.replies > before.replies) {
    probe.answer = Answer::kReply;
    // The reply to the second read, or its failure.
    if (after.failed() > before.failed()) probe.failure = link.last_failure();
    probe.second_failed = after.failed() > before.failed();
  } else if (after.failed() > before.failed()) {
    probe.failure = link.last_failure();
    probe.answer = probe.failure.kind == zelfw::Failure::kException ? Answer::kException
                   : probe.failure.kind == zelfw::Failure::kTimeout ||
                           probe.failure.kind == zelfw::Failure::kIo
                       ? Answer::kNone
                       : Answer::kGarbled;
  }
  if (probe.answer != Answer::kReply || published.empty()) return probe;
  probe.published = true;
  // 801 renders once per second of the round's time stamp: two responders
  // within a second would share the first one's rendering. The published
  // record is rendered by a device of its own instead.
  probe.snapshot = qxhost::render_stored_record(plugin, published);
  probe.warnings = plausibility_warnings(probe.snapshot);
  if (!probe.snapshot.isObject()) {
    probe.warnings.push_back(qxcore::message(N_("the snapshot is not a JSON object")));
  }
  probe.meter = probe.warnings.empty();
  return probe;
}

/// The link of one line setting (or the gateway) to the first id.
zelfw::LinkSettings link_settings_for(const LineSetting& setting, int slave,
                                      const ScanOptions& options, const std::string& tcp_host,
                                      int tcp_port, const std::string& serial_path) {
  zelfw::LinkSettings link;
  static_cast<LineSetting&>(link) = setting;
  link.slave = slave;
  link.timeout_ms = options.timeout_ms;
  if (!options.tcp.empty()) {
    link.tcp_host = tcp_host;
    link.tcp_port = tcp_port;
  } else {
    link.serial_path = serial_path;
  }
  return link;
}

/// The bench itself, for the printed command lines.
std::string self_path() {
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("qx7540pm-bench");
}

}  // namespace

bool parse_line_settings(const std::string& bauds, const std::string& formats,
                         std::vector<LineSetting>& settings, std::string& error) {
  std::vector<LineSetting> parsed;
  for (const std::string& part : split_commas(formats)) {
    LineSetting format;
    if (!qxcore::parse_frame_format(part, format)) {
      error = qxcore::format(
          _("--format \"%s\": \"%s\" is not data bits (5 to 8), parity (N, E, O) and stop bits "
            "(1, 2), e.g. 8E1"),
          formats.c_str(), part.c_str());
      return false;
    }
    parsed.push_back(format);
  }
  settings.clear();
  for (const std::string& part : split_commas(bauds)) {
    long baud = 0;
    if (!parse_number(part, baud) || !known_speed(baud)) {
      error = qxcore::format(
          _("--baud \"%s\": \"%s\" is not a serial line speed (1200, 2400, ... 115200)"),
          bauds.c_str(), part.c_str());
      return false;
    }
    for (LineSetting setting : parsed) {
      setting.baud = static_cast<int>(baud);
      settings.push_back(setting);
    }
  }
  return true;
}

CLI::App* add_scan_command(CLI::App& app, ScanOptions& o, std::string& plugin_path) {
  CLI::App* scan = app.add_subcommand(
      "scan",
      _("Look for meters: try line settings and slave ids, each with the device's own read"));
  auto* port = scan->add_option("--port", o.port, _("Serial device of the line (Modbus RTU)"))
                   ->check(CLI::Validator(
                       [](std::string& value) {
                         return value.empty() ? std::string(_("an empty value: give the device"))
                                              : std::string();
                       },
                       ""));
  auto* tcp = scan->add_option("--tcp", o.tcp, _("Modbus TCP gateway HOST[:PORT]; only ids swept"));
  port->excludes(tcp);
  tcp->excludes(port);
  scan->add_option("--slaves", o.slaves,
                   _("Slave ids: list and ranges, e.g. 1,3,10-20 (1 to 247)"));
  scan->add_option("--baud", o.bauds,
                   qxcore::format(_("Line speeds to try, in order (%s)"), o.bauds.c_str()));
  scan->add_option("--format", o.formats,
                   qxcore::format(_("Frame formats to try, in order (%s)"), o.formats.c_str()));
  scan->add_option("--timeout", o.timeout_ms, _("Response timeout of one probe in ms (100)"))
      ->check(CLI::Range(1, 60000));
  scan->add_flag("--all", o.all, _("Try every line setting, not only up to the first meter found"));
  scan->add_flag("--json", o.output.json,
                 _("One JSON object per responder, then a summary object"));
  scan->add_flag("--trace", o.trace,
                 _("Show every frame of every probe (with --json: each responder's frames)"));
  scan->add_option(
      "--plugin", plugin_path,
      _("Plug-in to load (default: the qx7540pm.so installed or built with the bench)"));
  add_sim_options(*scan, o.sim);
  scan->footer(
      _("Without --port or --tcp the scan looks at the built-in simulated meter.\n"
        "Exit codes: 0 a meter found, 1 none, 2 usage (a bad id range, speed or format), "
        "3 plug-in, 4 profile file, 5 port, 130 interrupted (after what was found)."));
  return scan;
}

namespace {

/// What a scan tries: the ids, the line settings (one for TCP), the gateway
/// and the built-in simulator's configuration.
struct ScanPlan {
  bool simulated = false;
  std::vector<int> ids;
  std::vector<LineSetting> settings;
  std::string tcp_host;
  int tcp_port = 0;
  qxsim::SimConfig sim_config;
};

/// The plan from the options; the bench's exit code (0 when it is one).
int plan_scan(const ScanOptions& options, ScanPlan& plan) {
  plan.simulated = options.port.empty() && options.tcp.empty();
  std::string error;
  if (!check_sim_options(options.sim, plan.simulated, error) ||
      !qxcore::parse_id_list("--slaves", options.slaves, options.tcp.empty() ? kLowestRtuSlave : 0,
                             options.tcp.empty() ? kHighestRtuSlave : kHighestTcpUnit, plan.ids,
                             error) ||
      (options.tcp.empty() &&
       !parse_line_settings(options.bauds, options.formats, plan.settings, error)) ||
      (!options.tcp.empty() &&
       !parse_host_port(options.tcp, plan.tcp_host, plan.tcp_port, error))) {
    fail(error);
    return kExitUsage;
  }
  if (!options.tcp.empty()) plan.settings.assign(1, LineSetting{});
  bool file_problem = false;
  if (plan.simulated &&
      !qxsim::make_sim_config(options.sim, {1}, plan.sim_config, error, file_problem)) {
    fail(error);
    return file_problem ? kExitInput : kExitUsage;
  }
  return kExitOk;
}

/// One scan under way: the device that probes, the link's end and the outputs.
struct ScanRun {
  const ScanOptions& options;
  const ScanPlan& plan;
  QX7540PM& meter;
  const qxhost::Plugin& plugin;
  zelfw::Framework& framework;
  std::vector<unsigned char>& published;
  const std::string& serial_path;
  const CommandLine& command;
  Outputs& outputs;
  const SignalWatcher& watcher;
  Clock::time_point begin;
  ScanSummary summary;
};

/// Probes every id at one line setting; false when its link cannot be opened.
bool scan_line_setting(ScanRun& run, const LineSetting& setting) {
  const ScanOptions& options = run.options;
  const zelfw::LinkSettings link_settings =
      link_settings_for(setting, run.plan.ids.front(), options, run.plan.tcp_host,
                        run.plan.tcp_port, run.serial_path);
  zelfw::LibModbusLink link(link_settings);
  std::string error;
  if (!link.open(error)) {
    for (auto& each : run.outputs) each->scan_pause();
    fail(error);
    return false;
  }
  run.framework.set_link(&link);
  std::vector<TracedFrame> frames;
  if (options.trace) {
    link.set_trace([&frames, begin = run.begin](const zelfw::Frame& frame) {
      frames.push_back(traced_frame(frame, begin));
    });
  }
  const std::string line = options.tcp.empty() ? qxcore::line_setting_name(setting)
                                               : "TCP " + link_settings.tcp_host + ":" +
                                                     std::to_string(link_settings.tcp_port);
  for (auto& each : run.outputs) each->scan_setting(line);
  ScanSummary& summary = run.summary;
  for (int id : run.plan.ids) {
    if (run.watcher.interrupted()) break;
    link.set_slave(id);
    Probe probe = probe_slave(run.meter, run.plugin, run.framework, link, run.published);
    probe.trace = std::move(frames);
    frames.clear();
    for (auto& each : run.outputs) each->scan_frames(id, probe.trace);
    ++summary.probes;
    if (probe.answer == Answer::kGarbled) ++summary.garbled;
    if (probe.answer == Answer::kReply || probe.answer == Answer::kException) {
      ++summary.responders;
      if (probe.meter) ++summary.meters;
      const ScanResponder responder{id, line, options.tcp.empty() ? &setting : nullptr, &probe,
                                    probe.meter ? run.command.poll(id, setting) : std::string()};
      for (auto& each : run.outputs) each->scan_responder(responder);
    }
    const double elapsed_s = std::chrono::duration<double>(Clock::now() - run.begin).count();
    for (auto& each : run.outputs) each->scan_probed(elapsed_s);
  }
  run.framework.set_link(nullptr);
  ++summary.settings_tried;
  return true;
}

}  // namespace

int run_scan(const ScanOptions& options, const std::string& plugin_path, bool plugin_given) {
  ScanPlan plan;
  if (const int code = plan_scan(options, plan); code != kExitOk) return code;
  SignalWatcher watcher(block_signals(), true);
  // Declared before the device: a framework outlives the devices attached to it.
  zelfw::Framework framework;
  qxhost::MeterPtr meter;
  if (const int code = attach_meter(plugin_path, framework, meter); code != kExitOk) return code;
  const qxhost::Plugin plugin = qxhost::Plugin::open(plugin_path);
  Json::Value device_settings(Json::objectValue);
  device_settings["appSetting"] = Json::Value(Json::objectValue);
  meter->InitSetting(device_settings);
  std::vector<unsigned char> published;
  framework.set_observer([&published](const zelfw::Call& call) {
    if (call.op == zelfw::Op::kSendSP) published = call.bytes;
  });
  std::unique_ptr<qxsim::MeterSim> sim;
  std::string error;
  if (plan.simulated) {
    sim = std::make_unique<qxsim::MeterSim>(plan.sim_config);
    if (!sim->start(error)) {
      fail(error);
      return kExitPort;
    }
  }
  // The device writes a line after every round; the scan's outputs are all that shows.
  qxhost::DiscardStdout discard;
  OutputContext context{Command::kScan, options.output, discard.own_stdout()};
  context.scan_settings = plan.settings.size();
  context.scan_ids = plan.ids.size();
  context.progress = ::isatty(STDERR_FILENO) != 0;
  Outputs outputs;
  make_outputs(context, outputs, error);
  const CommandLine command{self_path(), plugin_given ? plugin_path : std::string(), options.port,
                            options.tcp, plan.simulated ? &options.sim : nullptr};
  const std::string serial_path = plan.simulated ? sim->port() : options.port;
  ScanRun run{options,     plan,    *meter,  plugin,  framework,    published,
              serial_path, command, outputs, watcher, Clock::now(), {}};
  for (const LineSetting& setting : plan.settings) {
    const long meters_before = run.summary.meters;
    if (!scan_line_setting(run, setting)) return kExitPort;
    if (watcher.interrupted() || (run.summary.meters > meters_before && !options.all)) break;
  }
  for (auto& each : outputs) each->scan_pause();
  if (sim) sim->stop();
  ScanSummary& summary = run.summary;
  summary.settings = static_cast<long>(plan.settings.size());
  summary.elapsed_s = std::chrono::duration<double>(Clock::now() - run.begin).count();
  summary.interrupted = watcher.interrupted();
  for (auto& each : outputs) each->scan_end(summary);
  if (summary.interrupted) return kExitInterrupted;
  return summary.meters > 0 ? kExitOk : kExitRoundsFailed;
}

}  // namespace qxbench
