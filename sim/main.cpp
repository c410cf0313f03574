// qx7540pm-sim: the simulated meter on its own, for any Modbus master. Prints
// the pseudo-terminal's path on the first line of standard output, then
// serves until interrupted.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "qxcore/cli.h"
#include "qxcore/exit_codes.h"
#include "qxcore/text.h"
#include "qxhost/version.h"
#include "qxi18n/i18n.h"
#include "qxsim/meter_sim.h"
#include "qxsim/options.h"

namespace {

using qxcore::kExitInput;
using qxcore::kExitPort;
using qxcore::kExitUsage;

/// Serves until a signal ends the simulator; its exit code.
int serve(const qxsim::SimConfig& config) {
  std::string error;
  // Signals are taken by sigwait below, never by the serving thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  qxsim::MeterSim sim(config);
  if (!sim.start(error)) {
    qxcore::fail(error);
    return kExitPort;
  }
  std::cout << sim.port() << std::endl;
  std::string ids = std::to_string(config.slave);
  for (const qxsim::SlaveSim& more : config.more_slaves) ids += "," + std::to_string(more.slave);
  qxcore::say(qxcore::format(P_("slave %s on %s", "slaves %s on %s",
                                static_cast<unsigned long>(config.more_slaves.size() + 1)),
                             ids.c_str(), sim.port().c_str()) +
              (config.pace_baud > 0 ? qxcore::format(_(", paced at %d baud"), config.pace_baud)
                                    : std::string()) +
              _("; Ctrl-C stops"));
  int received = 0;
  sigwait(&signals, &received);
  sim.stop();
  const qxsim::SimStats stats = sim.stats();
  const auto n = [](long long count) { return static_cast<unsigned long>(count); };
  const std::string requests =
      qxcore::format(P_("%lld request", "%lld requests", n(stats.requests)),
                     static_cast<long long>(stats.requests));
  const std::string rounds = qxcore::format(P_("%lld round", "%lld rounds", n(stats.rounds)),
                                            static_cast<long long>(stats.rounds));
  const std::string replies = qxcore::format(P_("%lld reply", "%lld replies", n(stats.replies)),
                                             static_cast<long long>(stats.replies));
  const std::string faults = qxcore::format(P_("%lld fault", "%lld faults", n(stats.faults)),
                                            static_cast<long long>(stats.faults));
  qxcore::say(qxcore::format(_("%s, %s, %s, %s"), requests.c_str(), rounds.c_str(), replies.c_str(),
                             faults.c_str()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qxcore::set_program_name("qx7540pm-sim");
  qxi18n::init(qxi18n::find_lang_option(argc, argv));
  CLI::App app{_("Simulated three-phase meter: a Modbus RTU slave on a pseudo-terminal"),
               "qx7540pm-sim"};
  // Before the subcommands, which take it from here.
  app.failure_message(qxcore::failure_message);
  app.set_version_flag("--version", std::string("qx7540pm-sim ") + qxhost::project_version());
  int slave = 1;
  qxsim::SimOptions options;
  app.add_option("--slave", slave, _("Slave id (default 1)"))->check(CLI::Range(1, 247));
  qxsim::add_sim_options(app, options, "", C_("option group", "Meter"));
  std::string lang;  // taken by qxi18n::init() above
  app.add_option("--lang", lang,
                 _("Language of --help and of the messages on standard error: zh_CN or en "
                   "(default: from LANGUAGE, LC_ALL, LC_MESSAGES, LANG); the port on standard "
                   "output is the same in every language"))
      ->check(CLI::IsMember(qxi18n::languages()));
  app.footer(
      _("The first line of standard output is the port to open, e.g. /dev/pts/4.\n"
        "Example: mbpoll -m rtu -a 1 -r 1 -c 41 -t 4 -1 $(head -1 port.txt)"));
  qxcore::localize_help(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }

  qxsim::SimConfig config;
  std::string error;
  bool file_problem = false;
  if (!qxsim::make_sim_config(options, {slave}, config, error, file_problem)) {
    qxcore::fail(error);
    return file_problem ? kExitInput : kExitUsage;
  }
  return serve(config);
}
