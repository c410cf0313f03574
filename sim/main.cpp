// qx7540pm-sim: the simulated meter on its own, for any Modbus master. Prints
// the pseudo-terminal's path on the first line of standard output, then
// serves until interrupted.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "qxhost/version.h"
#include "qxsim/exit_codes.h"
#include "qxsim/meter_sim.h"
#include "qxsim/options.h"

namespace {

using qxsim::kExitInput;
using qxsim::kExitPort;
using qxsim::kExitUsage;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated three-phase meter: a Modbus RTU slave on a pseudo-terminal",
               "qx7540pm-sim"};
  app.set_version_flag("--version", std::string("qx7540pm-sim ") + qxhost::project_version());
  int slave = 1;
  qxsim::SimOptions options;
  app.add_option("--slave", slave, "Slave id (default 1)")->check(CLI::Range(1, 247));
  qxsim::add_sim_options(app, options, "", "Meter");
  app.footer(
      "The first line of standard output is the port to open, e.g. /dev/pts/4.\n"
      "Example: mbpoll -m rtu -a 1 -r 1 -c 41 -t 4 -1 $(head -1 port.txt)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }

  qxsim::SimConfig config;
  std::string error;
  if (!qxsim::make_sim_config(options, {slave}, config, error)) {
    std::cerr << "qx7540pm-sim: " << error << "\n";
    return kExitInput;
  }
  // Signals are taken by sigwait below, never by the serving thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  qxsim::MeterSim sim(config);
  if (!sim.start(error)) {
    std::cerr << "qx7540pm-sim: " << error << "\n";
    return kExitPort;
  }
  std::cout << sim.port() << std::endl;
  std::string ids = std::to_string(config.slave);
  for (const qxsim::SlaveSim& more : config.more_slaves) ids += "," + std::to_string(more.slave);
  std::cerr << "qx7540pm-sim: slave" << (config.more_slaves.empty() ? " " : "s ") << ids << " on "
            << sim.port()
            << (config.pace_baud > 0 ? ", paced at " + std::to_string(config.pace_baud) + " baud"
                                     : std::string())
            << "; Ctrl-C stops" << std::endl;
  int received = 0;
  sigwait(&signals, &received);
  sim.stop();
  const qxsim::SimStats stats = sim.stats();
  std::cerr << "qx7540pm-sim: " << stats.requests << " requests, " << stats.rounds << " rounds, "
            << stats.replies << " replies, " << stats.faults << " faults" << std::endl;
  return 0;
}
