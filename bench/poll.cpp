// A polling run of the bench: inputs read and checked, the plug-in loaded,
// the line opened, then every round fed to the run's outputs (output/output.h).
#include "poll.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include <json/value.h>

#include "bench_options.h"
#include "output_file.h"
#include "qx7540pm.h"
#include "qxcore/ids.h"
#include "qxcore/input_file.h"
#include "qxcore/line_setting.h"
#include "qxcore/text.h"
#include "qxhost/device_settings.h"
#include "qxhost/identity.h"
#include "qxhost/plugin.h"
#include "qxhost/round_output.h"
#include "qxi18n/i18n.h"
#include "qxsim/meter_sim.h"
#include "session.h"
#include "signals.h"

namespace qxbench {
namespace {

/// A cached record is 91 bytes; anything much larger is no cache file.
constexpr std::size_t kMaxCacheFileBytes = 1 << 16;

}  // namespace

/// The plug-in next to the bench in the build tree and the board bundle,
/// <bench dir>/../qx7540pm.so, else the Debian package's private library
/// directory (packaging/CMakeLists.txt).
std::string default_plugin_path() {
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  // /proc/self/exe is the resolved path, so its directory's parent is found
  // by name: the banner and the report then show /opt/qx/qx7540pm.so, not
  // /opt/qx/bin/../qx7540pm.so.
  if (n <= 0) return "../qx7540pm.so";
  std::string top(self, static_cast<std::size_t>(n));
  for (int level = 0; level < 2; ++level) {
    const auto slash = top.find_last_of('/');
    top = slash == std::string::npos || slash == 0 ? "" : top.substr(0, slash);
  }
  const std::string installed = top + "/lib/qx7540pm-bench/qx7540pm.so";
  const std::string beside = top + "/qx7540pm.so";
  return ::access(beside.c_str(), F_OK) != 0 && ::access(installed.c_str(), F_OK) == 0 ? installed
                                                                                       : beside;
}

namespace {

/// Everything the run reads from files, checked before the plug-in is loaded.
struct Inputs {
  Json::Value settings{Json::objectValue};
  std::map<int, Json::Value> settings_for;  ///< --settings-for: one meter's own
  std::vector<unsigned char> cache;
  bool simulated = false;
  qxsim::SimConfig sim_config;

  Inputs() { settings["appSetting"] = Json::Value(Json::objectValue); }
};

int read_inputs(const BenchOptions& opt, Inputs& in) {
  std::string error;
  if (!opt.settings_path.empty()) {
    if (!qxcore::read_json_file(opt.settings_path, C_("file kind", "settings"), in.settings,
                                error)) {
      fail(error);
      return kExitInput;
    }
    if (!in.settings.isObject()) {
      fail(qxcore::format(_("settings file %s: the top level must be a JSON object"),
                          opt.settings_path.c_str()));
      return kExitInput;
    }
  }
  std::vector<std::string> files = {opt.settings_path, opt.cache_path, opt.sim.profile_path};
  for (const std::string& text : opt.settings_for) {
    long id = 0;
    std::string path;
    qxcore::split_id_text(text, id, path);  // checked with the options
    files.push_back(path);
    Json::Value& settings = in.settings_for[static_cast<int>(id)];
    if (!qxcore::read_json_file(path, C_("file kind", "settings"), settings, error)) {
      fail(error);
      return kExitInput;
    }
    if (!settings.isObject()) {
      fail(
          qxcore::format(_("settings file %s: the top level must be a JSON object"), path.c_str()));
      return kExitInput;
    }
  }
  std::string cache;
  if (!opt.cache_path.empty() &&
      !qxcore::read_input_file(opt.cache_path, C_("file kind", "cache file"), kMaxCacheFileBytes,
                               cache, error)) {
    fail(error);
    return kExitInput;
  }
  in.cache.assign(cache.begin(), cache.end());
  in.simulated = opt.port.empty() && opt.tcp.empty();
  bool file_problem = false;
  if (in.simulated &&
      !qxsim::make_sim_config(opt.sim, opt.slaves, in.sim_config, error, file_problem)) {
    // A profile file that cannot be used is an input's fault, a switch the user's.
    fail(error);
    return file_problem ? kExitInput : kExitUsage;
  }
  for (const std::string& text : opt.sim.profile_for) {
    long id = 0;
    std::string path;
    if (qxcore::split_id_text(text, id, path)) files.push_back(path);
  }
  if (!outputs_apart_from_inputs(
          {opt.output.csv_path, opt.output.history_path, opt.output.report_path}, files, error)) {
    fail(error);
    return kExitInput;
  }
  return kExitOk;
}

/// One meter on the line: its own framework (the calls it makes) and device.
struct BenchMeter {
  int slave = 1;
  // Declared before the device: a framework outlives the devices attached to it.
  std::unique_ptr<zelfw::Framework> framework = std::make_unique<zelfw::Framework>();
  qxhost::MeterPtr device;
};

/// Loads the plug-in and, for each slave id, makes a device, attaches it and
/// hands it its settings.
int make_meters(const BenchOptions& opt, const Inputs& in, const std::string& plugin,
                std::vector<BenchMeter>& meters) {
  for (const int slave : opt.slaves) {
    BenchMeter& meter = meters.emplace_back();
    meter.slave = slave;
    if (const int code = attach_meter(plugin, *meter.framework, meter.device); code != kExitOk) {
      return code;
    }
    const auto own = in.settings_for.find(slave);
    const bool has_own = own != in.settings_for.end();
    try {
      meter.device->InitSetting(has_own ? own->second : in.settings);
    } catch (const std::exception& e) {
      std::string file = has_own ? "" : opt.settings_path;
      for (const std::string& text : opt.settings_for) {
        long id = 0;
        std::string path;
        if (has_own && qxcore::split_id_text(text, id, path) && id == slave) file = path;
      }
      if (opt.slaves.size() > 1) {
        fail(file.empty()
                 ? qxcore::format(_("the device for slave %d refused the settings: %s"), slave,
                                  e.what())
                 : qxcore::format(_("the device for slave %d refused the settings in %s: %s"),
                                  slave, file.c_str(), e.what()));
      } else {
        fail(file.empty() ? qxcore::format(_("the device refused the settings: %s"), e.what())
                          : qxcore::format(_("the device refused the settings in %s: %s"),
                                           file.c_str(), e.what()));
      }
      return kExitInput;
    }
  }
  return kExitOk;
}

/// The way to the meter: the built-in simulated one, a serial port or a gateway.
struct Line {
  std::unique_ptr<qxsim::MeterSim> sim;
  zelfw::LinkSettings settings;
  std::unique_ptr<zelfw::LibModbusLink> link;
};

int open_line(const BenchOptions& opt, const Inputs& in, int device_baud, Line& line) {
  std::string error;
  static_cast<qxcore::LineSetting&>(line.settings) = opt.line;
  if (opt.line.baud <= 0) line.settings.baud = device_baud;
  line.settings.slave = opt.slave;
  line.settings.timeout_ms = opt.timeout_ms;
  if (in.simulated) {
    line.sim = std::make_unique<qxsim::MeterSim>(in.sim_config);
    if (!line.sim->start(error)) {
      fail(error);
      return kExitPort;
    }
    line.settings.serial_path = line.sim->port();
  } else if (!opt.port.empty()) {
    line.settings.serial_path = opt.port;
  } else {
    parse_host_port(opt.tcp, line.settings.tcp_host, line.settings.tcp_port, error);
  }
  line.link = std::make_unique<zelfw::LibModbusLink>(line.settings);
  if (!line.link->open(error)) {
    const char* hint =
        in.simulated ? ""
        : opt.tcp.empty()
            ? _("hint: check the device path, that no other program holds the port, and "
                "that you may open it (group dialout)")
            : _("hint: check the gateway's address and port (Modbus TCP listens on 502)");
    fail(*hint == '\0' ? error : error + "\n  " + hint);
    return kExitPort;
  }
  return kExitOk;
}

/// "RTU /dev/ttyS1 9600 8N1 slave 1", or "... slaves 1,3,7" for several meters, and
/// "(built-in simulated meter)" after it: in English, or in the run's language `for_people`.
std::string link_words(const zelfw::LinkSettings& s, const std::string& slave_list, bool several,
                       bool simulated, bool for_people) {
  using qxcore::words;
  std::string text =
      s.tcp_host.empty()
          ? qxcore::format(words(for_people, N_("RTU %s %s slave %d")), s.serial_path.c_str(),
                           qxcore::line_setting_name(s).c_str(), s.slave)
          : qxcore::format(words(for_people, N_("TCP %s:%d unit %d")), s.tcp_host.c_str(),
                           s.tcp_port, s.slave);
  if (several) {
    text = text.substr(0, text.rfind(' '));  // the link's own slave id
    text = text.substr(0, text.rfind(' '));  // "slave" or "unit"
    const char* list = s.tcp_host.empty() ? NC_("link", "slaves %s") : NC_("link", "units %s");
    text += " " + qxcore::format(for_people ? qxi18n::translate_in_context("link", list) : list,
                                 slave_list.c_str());
  }
  if (!simulated) return text;
  return qxcore::format(words(for_people, several ? N_("%s (built-in simulated meters)")
                                                  : N_("%s (built-in simulated meter)")),
                        text.c_str());
}

Summary begin_summary(const BenchOptions& opt, const Inputs& in, const Line& line) {
  Summary summary;
  summary.link =
      qxcore::Message([settings = line.settings, list = opt.slave_list,
                       several = opt.slaves.size() > 1, simulated = in.simulated](bool for_people) {
        return link_words(settings, list, several, simulated, for_people);
      });
  if (line.settings.tcp_host.empty()) {
    summary.wire_minimum_ms = zelfw::rtu_exchange_minimum_ms(line.settings, 32) +
                              zelfw::rtu_exchange_minimum_ms(line.settings, 8);
    if (in.simulated && in.sim_config.pace_baud <= 0) {
      summary.wire_note =
          _("the simulator's pseudo-terminal has no line speed; --sim-pace paces it");
    }
  }
  return summary;
}

void print_banner(const BenchOptions& opt, const Inputs& in, const std::string& plugin,
                  const QX7540PM& device, const Summary& summary, FILE* out) {
  // With --json, standard output carries nothing but the JSON lines.
  FILE* to = opt.output.json ? stderr : out;
  const std::string identity = qxhost::describe(qxhost::identify(qxhost::Plugin::open(plugin)));
  const std::string rounds =
      opt.rounds > 0
          ? qxcore::format(P_("%ld round", "%ld rounds", static_cast<unsigned long>(opt.rounds)),
                           static_cast<long>(opt.rounds))
          : std::string(_("until Ctrl-C"));
  std::fprintf(to, "%s\n",
               qxcore::format(_("qx7540pm-bench: %s from %s (%s) on %s, every %d ms, %s"),
                              device.DeviceType().c_str(), plugin.c_str(), identity.c_str(),
                              summary.link.translated().c_str(), opt.interval_ms, rounds.c_str())
                   .c_str());
  std::fflush(to);
  const char outage = in.sim_config.faults.outage.phase;
  if (in.simulated && outage >= 'A' && outage <= 'C' &&
      !qxhost::monitored_phases(device)[static_cast<std::size_t>(outage - 'A')]) {
    qxcore::say(qxcore::format(_("note: phase %c is not monitored (appSetting has_%c is 0), so "
                                 "the alarm stays off; see bench/examples/monitor-all-phases.json"),
                               outage, static_cast<char>(std::tolower(outage))));
  }
}

void count_round(const RoundResult& report, Summary& summary) {
  ++summary.rounds;
  if (report.ok) {
    ++summary.ok;
    summary.total_ms += report.round_ms;
    ++summary.timed_rounds;
  } else if (report.failed) {
    ++summary.failures[static_cast<std::size_t>(report.failure.kind)];
  } else {
    ++summary.unpublished;
  }
}

/// Every meter's summary so far, empty, and the bus cycle's wire minimum.
LineSummary begin_totals(const BenchOptions& opt, const Inputs& in, const Line& line) {
  LineSummary totals;
  totals.slaves = opt.slaves;
  totals.meters.assign(opt.slaves.size(), begin_summary(opt, in, line));
  if (totals.meters.front().wire_minimum_ms >= 0) {
    totals.cycle_wire_minimum_ms =
        totals.meters.front().wire_minimum_ms * static_cast<double>(opt.slaves.size());
  }
  return totals;
}

std::vector<SessionMeter> session_meters(std::vector<BenchMeter>& meters) {
  std::vector<SessionMeter> polled;
  for (BenchMeter& meter : meters) {
    polled.push_back({meter.device.get(), meter.framework.get(), meter.slave,
                      qxhost::monitored_phases(*meter.device)});
  }
  return polled;
}

/// The run's exit code once every output has ended.
int end_outputs(Outputs& outputs, const LineSummary& totals) {
  int code = totals.meters.front().interrupted ? kExitInterrupted : kExitOk;
  std::string error;
  for (auto& each : outputs) {
    if (!each->end(totals, error)) {
      fail(error);
      code = kExitOutput;
    }
  }
  if (code != kExitOk) return code;
  for (const Summary& summary : totals.meters) {
    if (summary.ok != summary.rounds) return kExitRoundsFailed;
  }
  return kExitOk;
}

/// Restores the cache, polls the rounds and feeds each to the outputs, then the summary.
int poll_meters(const BenchOptions& opt, const Inputs& in, const std::string& plugin,
                std::vector<BenchMeter>& meters, Line& line, qxhost::RoundOutput& output,
                SignalWatcher& watcher) {
  LineSummary totals = begin_totals(opt, in, line);
  Session session(session_meters(meters), *line.link, output);
  session.set_trace(opt.trace);
  session.set_diagnosis(opt.diagnosis);
  // The cache goes in before anything is shown: a refused one shows nothing.
  std::vector<RoundResult> cached;
  if (!opt.cache_path.empty() && !session.restore_cache(in.cache, cached)) {
    fail(qxcore::format(_("the device refused the cached record in %s (%zu bytes; a record is 91)"),
                        opt.cache_path.c_str(), in.cache.size()));
    return kExitInput;
  }
  FILE* out = output.out();
  const RunFacts facts{
      plugin, totals.meters.front(),
      qxcore::format(_("every %d ms, timeout %d ms"), opt.interval_ms, opt.timeout_ms)};
  Outputs outputs;
  std::string error;
  const OutputContext context{Command::kPoll, opt.output, out, &facts, &opt.slaves};
  if (!make_outputs(context, outputs, error)) {
    fail(error);
    return kExitInput;
  }
  print_banner(opt, in, plugin, *meters.front().device, totals.meters.front(), out);
  const auto counts_of = [&](int slave) -> Summary& {
    const auto at = std::find(opt.slaves.begin(), opt.slaves.end(), slave);
    return totals.meters[static_cast<std::size_t>(at - opt.slaves.begin())];
  };
  for (const RoundResult& report : cached) {
    for (auto& each : outputs) each->round(report, counts_of(report.slave));
  }
  // From here a signal stops the run after the round in progress; before,
  // it ended the bench at once.
  watcher.watch(&session);
  session.run(
      opt.rounds, opt.interval_ms,
      [&](const RoundResult& report) {
        count_round(report, counts_of(report.slave));
        for (auto& each : outputs) each->round(report, counts_of(report.slave));
      },
      [&](double cycle_ms) {
        ++totals.cycles;
        totals.total_cycle_ms += cycle_ms;
        for (auto& each : outputs) each->cycle(totals);
      });
  const bool interrupted = watcher.interrupted();
  watcher.watch(nullptr);
  for (Summary& summary : totals.meters) summary.interrupted = interrupted;
  for (BenchMeter& meter : meters) meter.framework->set_link(nullptr);
  if (line.sim) line.sim->stop();
  output.stop();
  return end_outputs(outputs, totals);
}

}  // namespace

int run_bench(const BenchOptions& opt) {
  SignalWatcher watcher(block_signals());
  Inputs in;
  if (const int code = read_inputs(opt, in); code != kExitOk) return code;
  qxhost::RoundOutput output;
  std::string error;
  if (!output.start(error)) {
    fail(error);
    return kExitInput;
  }
  const std::string plugin = opt.plugin_path.empty() ? default_plugin_path() : opt.plugin_path;
  std::vector<BenchMeter> meters;
  if (const int code = make_meters(opt, in, plugin, meters); code != kExitOk) return code;
  // Declared after the meters: the link and the simulator go first.
  Line line;
  if (const int code = open_line(opt, in, meters.front().device->baud_rate, line);
      code != kExitOk) {
    return code;
  }
  for (BenchMeter& meter : meters) meter.framework->set_link(line.link.get());
  return poll_meters(opt, in, plugin, meters, line, output, watcher);
}

}  // namespace qxbench
