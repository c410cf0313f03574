// qx7540pm-bench: loads the plug-in as the controller does and polls a meter
// (real, behind a TCP gateway, or the built-in simulated one) over Modbus.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include <json/value.h>
#include <CLI/CLI.hpp>

#include "bench_options.h"
#include "device_output.h"
#include "plugin_host.h"
#include "qxsim/json_file.h"
#include "qxsim/meter_sim.h"
#include "session.h"

namespace qxbench {
namespace {

/// Ends the run on SIGINT or SIGTERM; a wake-up from finish() just returns.
class SignalWatcher {
 public:
  explicit SignalWatcher(const sigset_t& set) : set_(set) {
    thread_ = std::thread([this] {
      int received = 0;
      sigwait(&set_, &received);
      if (finished_) return;
      interrupted_ = true;
      if (session_ != nullptr) session_.load()->request_stop();
    });
  }
  ~SignalWatcher() { finish(); }
  void watch(Session* session) {
    session_ = session;
    if (interrupted_) session->request_stop();
  }
  bool interrupted() const { return interrupted_; }
  void finish() {
    if (!thread_.joinable()) return;
    finished_ = true;
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }

 private:
  sigset_t set_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> interrupted_{false};
  std::atomic<Session*> session_{nullptr};
  std::thread thread_;
};

void fail(const std::string& message) { std::cerr << "qx7540pm-bench: " << message << std::endl; }

bool read_file(const std::string& path, std::vector<unsigned char>& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = std::string("cannot read cache file ") + path + ": " + std::strerror(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Whether the settings monitor a phase: the device reads has_X with atoi.
bool monitors_phase(const Json::Value& settings, char phase) {
  const std::string key = std::string("has_") + static_cast<char>(std::tolower(phase));
  if (!settings.isObject() || !settings["appSetting"].isObject()) return false;
  const Json::Value& v = settings["appSetting"][key];
  return !v.isNull() && !v.isArray() && !v.isObject() && std::atoi(v.asString().c_str()) != 0;
}

int run(const BenchOptions& opt) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  // Every thread started from here on leaves these signals to the watcher.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  SignalWatcher watcher(signals);

  std::string error;
  Json::Value settings(Json::objectValue);
  settings["appSetting"] = Json::Value(Json::objectValue);
  if (!opt.settings_path.empty()) {
    if (!qxsim::read_json_file(opt.settings_path, "settings", settings, error)) {
      fail(error);
      return kExitInput;
    }
    if (!settings.isObject()) {
      fail("settings file " + opt.settings_path + ": the top level must be a JSON object");
      return kExitInput;
    }
  }
  std::vector<unsigned char> cache;
  if (!opt.cache_path.empty() && !read_file(opt.cache_path, cache, error)) {
    fail(error);
    return kExitInput;
  }
  qxsim::SimConfig sim_config;
  const bool simulated = opt.port.empty() && opt.tcp.empty();
  if (simulated && !qxsim::make_sim_config(opt.sim, opt.slave, sim_config, error)) {
    fail(error);
    return kExitInput;
  }
  int history_fd = -1;
  if (!opt.history_path.empty()) {
    history_fd = ::open(opt.history_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (history_fd < 0) {
      fail("cannot open history file " + opt.history_path + ": " + std::strerror(errno));
      return kExitInput;
    }
  }
  const std::unique_ptr<int, void (*)(int*)> history_closer(&history_fd, [](int* fd) {
    if (*fd >= 0) ::close(*fd);
  });

  DeviceOutput output;
  if (!output.start(error)) {
    fail(error);
    return kExitInput;
  }
  // Declared before the device: a framework outlives the devices attached to it.
  zelfw::Framework framework;
  const std::string plugin = opt.plugin_path.empty() ? default_plugin_path() : opt.plugin_path;
  DevicePtr device = load_device(plugin, error);
  if (!device) {
    fail(error);
    return kExitPlugin;
  }
  framework.attach(*device);
  try {
    device->InitSetting(settings);
  } catch (const std::exception& e) {
    fail("the device refused the settings" +
         (opt.settings_path.empty() ? std::string() : " in " + opt.settings_path) + ": " +
         e.what());
    return kExitInput;
  }

  std::unique_ptr<qxsim::MeterSim> sim;
  zelfw::LinkSettings link_settings;
  link_settings.baud = opt.baud > 0 ? opt.baud : device->baud_rate;
  link_settings.parity = opt.parity;
  link_settings.data_bits = opt.data_bits;
  link_settings.stop_bits = opt.stop_bits;
  link_settings.slave = opt.slave;
  link_settings.timeout_ms = opt.timeout_ms;
  if (simulated) {
    sim = std::make_unique<qxsim::MeterSim>(sim_config);
    if (!sim->start(error)) {
      fail(error);
      return kExitPort;
    }
    link_settings.serial_path = sim->port();
  } else if (!opt.port.empty()) {
    link_settings.serial_path = opt.port;
  } else {
    split_host_port(opt.tcp, link_settings.tcp_host, link_settings.tcp_port);
  }
  zelfw::LibModbusLink link(link_settings);
  if (!link.open(error)) {
    const char* hint =
        simulated ? ""
        : opt.tcp.empty()
            ? "\n  hint: check the device path, that no other program holds the port, and "
              "that you may open it (group dialout)"
            : "\n  hint: check the gateway's address and port (Modbus TCP listens on 502)";
    fail(error + hint);
    return kExitPort;
  }
  framework.set_link(&link);

  Summary summary;
  summary.link = link.describe() + (simulated ? " (built-in simulated meter)" : "");
  if (link_settings.tcp_host.empty()) {
    summary.wire_minimum_ms = zelfw::rtu_exchange_minimum_ms(link_settings, 32) +
                              zelfw::rtu_exchange_minimum_ms(link_settings, 8);
    if (simulated && sim_config.pace_baud <= 0) {
      summary.wire_note = "the simulator's pseudo-terminal has no line speed; --sim-pace paces it";
    }
  }
  Session session(*device, framework, link, output, history_fd);
  watcher.watch(&session);
  session.set_monitored({monitors_phase(settings, 'A'), monitors_phase(settings, 'B'),
                         monitors_phase(settings, 'C')});
  // The cache goes in before anything is shown: a refused one shows nothing.
  RoundReport cached;
  if (!opt.cache_path.empty() && !session.restore_cache(cache, cached)) {
    fail("the device refused the cached record in " + opt.cache_path + " (" +
         std::to_string(cache.size()) + " bytes; a record is 91)");
    return kExitInput;
  }
  FILE* out = output.out();
  // With --json, standard output carries nothing but the JSON lines.
  std::fprintf(opt.json ? stderr : out, "qx7540pm-bench: %s from %s on %s, every %d ms, %s\n",
               device->DeviceType().c_str(), plugin.c_str(), summary.link.c_str(), opt.interval_ms,
               opt.rounds > 0 ? (std::to_string(opt.rounds) + " rounds").c_str() : "until Ctrl-C");
  std::fflush(opt.json ? stderr : out);
  if (simulated && sim_config.faults.outage.phase != 0 &&
      !monitors_phase(settings, sim_config.faults.outage.phase)) {
    std::cerr << "qx7540pm-bench: note: phase " << sim_config.faults.outage.phase
              << " is not monitored (appSetting has_"
              << static_cast<char>(std::tolower(sim_config.faults.outage.phase))
              << " is 0), so the alarm stays off; see bench/examples/monitor-all-phases.json"
              << std::endl;
  }

  const auto show = [&](const RoundReport& report) {
    if (opt.json) {
      std::fprintf(out, "%s\n", round_json(report).c_str());
      std::fflush(out);
    } else {
      print_round(out, report);
    }
  };
  if (!opt.cache_path.empty()) show(cached);
  session.run(opt.rounds, opt.interval_ms, [&](const RoundReport& report) {
    show(report);
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
  });
  summary.interrupted = watcher.interrupted();
  framework.set_link(nullptr);
  if (sim) sim->stop();
  output.stop();
  if (opt.json) {
    std::fprintf(out, "%s\n", summary_json(summary).c_str());
  } else {
    print_summary(out, summary);
  }
  std::fflush(out);
  if (summary.interrupted) return kExitInterrupted;
  return summary.ok == summary.rounds ? kExitOk : kExitRoundsFailed;
}

}  // namespace
}  // namespace qxbench

int main(int argc, char** argv) {
  qxbench::BenchOptions options;
  CLI::App app{"Loads the qx7540pm plug-in as the controller does and polls a meter over Modbus",
               "qx7540pm-bench"};
  qxbench::add_bench_options(app, options);
  try {
    app.parse(argc, argv);
    std::string error;
    if (!qxbench::check_bench_options(options, error)) throw CLI::ValidationError(error);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : qxbench::kExitUsage;
  }
  return qxbench::run(options);
}
