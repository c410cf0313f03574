// qx7540pm_explore: every schedule of each scenario up to the preemption
// bound, or one schedule replayed from its choice string.
//
//   qx7540pm_explore [--bound B] [--scenario NAME]
//   qx7540pm_explore --replay NAME CHOICES
//
// QX7540PM_PLUGIN names another build of the plug-in to explore.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "explorer.h"
#include "qxhost/output.h"

namespace {

using qxexplore::Scenario;
using zelfw::Op;

const std::vector<Op> kRoundServices = {Op::kSendSP, Op::kReset, Op::kCheckThresholdBool,
                                        Op::kDoBatchCheckThreshold, Op::kSaveDeviceHistory};

// Letters: R RefreshStatus, P reply, D duplicate reply, C cache load, X 310,
// Y 320, S settings, T 801 text, A 803 reader. Prelude: thread 0, alone.
const std::vector<Scenario> kScenarios = {
    {"next-round",
     "RefreshStatus and replies on other threads while a round completes",
     "RP",
     {"P", "R", "PP"},
     "",
     false,
     {}},
    {"duplicate-block2",
     "a block 2 reply delivered twice, against the next round",
     "RP",
     {"P", "D", "RP"},
     "",
     false,
     {}},
    {"control-in-round", "320 at every point of a round", "", {"RPP", "Y"}, "", false, {}},
    {"control-between-completions",
     "310 between two block 2 replies pending completion",
     "RP",
     {"P", "D", "X"},
     "",
     false,
     {}},
    {"control-then-next-round",
     "310, then the next round, while a block 2 reply completes",
     "RP",
     {"P", "XRPP"},
     "",
     false,
     {}},
    {"cache-in-round", "LoadFromCache at every point of a round", "", {"RPP", "C"}, "", false, {}},
    {"cache-next-round",
     "LoadFromCache while one round completes and the next begins",
     "RP",
     {"P", "RC", "PP"},
     "",
     false,
     {}},
    {"settings-in-round", "InitSetting at every point of a round", "", {"RPP", "S"}, "", false, {}},
    {"readers-in-completion",
     "801 and 803 readers while a round and a cache load complete",
     "RP",
     {"PC", "T", "A"},
     "",
     false,
     {}},
    {"busy-publisher",
     "a cache load publishing while another thread completes rounds",
     "",
     {"C", "RPPRPP"},
     "",
     false,
     {}},
    {"publisher-throws",
     "a publisher's framework call throws, a cache load waiting",
     "",
     {"RPPR", "C"},
     "",
     true,
     kRoundServices},
    {"callbacks",
     "the framework calls back into the device from inside its calls",
     "",
     {"RPP", "C"},
     "PRCXTAS",
     false,
     {Op::kReadRegisters, Op::kSendSP, Op::kSaveDeviceHistory}},
};

const char* const kItems[] = {"choice string",         "one round, one record", "once, or counted",
                              "control requests",      "bounded work",          "nothing stranded",
                              "readers stall nothing", "open calls and pairs"};

struct Report {
  std::FILE* out;
  long failing = 0;
  std::map<std::string, bool> shown;  // scenario and item already shown
};

void print_failure(std::FILE* out, const Scenario& s, const qxexplore::RunResult& r) {
  std::fprintf(out, "  schedule: --replay %s %s (%d preemptions)\n", s.name,
               qxexplore::format_choices(r.deviations, s).c_str(), r.preemptions);
  for (const auto& v : r.violations)
    std::fprintf(out, "    item %d (%s): %s\n", v.item, kItems[v.item], v.what.c_str());
}

void on_failure(const Scenario& s, const qxexplore::RunResult& r, void* context) {
  auto& report = *static_cast<Report*>(context);
  ++report.failing;
  bool fresh = false;
  for (const auto& v : r.violations) {
    const std::string key = std::string(s.name) + "/" + std::to_string(v.item);
    fresh = fresh || !report.shown[key];
    report.shown[key] = true;
  }
  if (!fresh) return;
  std::fprintf(report.out, "violation in %s:\n", s.name);
  print_failure(report.out, s, r);
}

// What a replayed schedule did, for whoever reads a failure.
void print_trace(std::FILE* out, const qxexplore::Trace& t) {
  for (const auto& o : t.ops)
    std::fprintf(out,
                 "  op %d %c thread %d [%ld..%ld] result %lld%s answered %d stored %ld lock %ld\n",
                 o.id, static_cast<char>(o.kind), o.thread, o.start, o.end, o.result,
                 o.threw ? " threw" : "", o.answered, o.stored, o.first_lock);
  for (std::size_t q = 0; q < t.requests.size(); ++q)
    std::fprintf(out, "  request %zu by op %d (%d, %d) at %ld\n", q, t.requests[q].op,
                 t.requests[q].start, t.requests[q].count, t.requests[q].seq);
  for (const auto& p : t.pubs)
    std::fprintf(out, "  SendSP thread %d op %d at %ld..%ld%s\n", p.thread, p.op, p.send, p.end,
                 p.send_threw ? " threw" : "");
  for (long s : t.throws) std::fprintf(out, "  throw at %ld\n", s);
}

const Scenario* find_scenario(const std::string& name) {
  for (const Scenario& s : kScenarios)
    if (name == s.name) return &s;
  return nullptr;
}

int usage() {
  std::fprintf(stderr,
               "usage: qx7540pm_explore [--bound B] [--scenario NAME]\n"
               "       qx7540pm_explore --replay NAME CHOICES\n"
               "       qx7540pm_explore --list\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int bound = 2;
  std::string only, replay_name, replay_choices;
  bool replay = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--bound" && i + 1 < argc) {
      bound = std::atoi(argv[++i]);
    } else if (arg == "--scenario" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--replay" && i + 2 < argc) {
      replay = true;
      replay_name = argv[++i];
      replay_choices = argv[++i];
    } else if (arg == "--list") {
      for (const Scenario& s : kScenarios) std::printf("%-28s %s\n", s.name, s.purpose);
      return 0;
    } else {
      return usage();
    }
  }
  const char* env = std::getenv("QX7540PM_PLUGIN");
  const std::string path = env != nullptr && *env != '\0' ? env : qxhost::built_plugin_path();
  char a[PATH_MAX], b[PATH_MAX];
  const bool own_build = realpath(path.c_str(), a) != nullptr &&
                         realpath(qxhost::built_plugin_path(), b) != nullptr &&
                         std::strcmp(a, b) == 0;

  qxhost::DiscardStdout quiet;  // a round prints a line; the report goes to the real output
  std::FILE* out = quiet.own_stdout();
  const qxhost::Plugin plugin = qxhost::Plugin::open(path);
  if (!own_build)
    std::fprintf(out, "explorer: %s is another build; its round counters are not compared\n",
                 path.c_str());
  qxexplore::Explorer explorer(plugin, own_build);

  if (replay) {
    const Scenario* s = find_scenario(replay_name);
    std::vector<qxexplore::Choice> choices;
    if (s == nullptr || !qxexplore::parse_choices(replay_choices, *s, choices)) return usage();
    const qxexplore::RunResult r = explorer.replay(*s, choices);
    if (std::getenv("QX_EXPLORE_TRACE") != nullptr) print_trace(out, r.trace);
    if (!r.violations.empty()) {
      std::fprintf(out, "violation in %s:\n", s->name);
      print_failure(out, *s, r);
    }
    std::fprintf(out, "replay %s %s: %zu violations%s\n", s->name, replay_choices.c_str(),
                 r.violations.size(),
                 r.mismatch ? " (some choices were not open or never reached in this build)" : "");
    // A replay that cannot follow its schedule proves nothing about it.
    return r.violations.empty() && !r.mismatch ? 0 : 1;
  }

  Report report{out, 0, {}};
  long schedules = 0;
  int scenarios = 0;
  for (const Scenario& s : kScenarios) {
    if (!only.empty() && only != s.name) continue;
    const std::clock_t began = std::clock();
    const long before = report.failing;
    const long n = explorer.explore(s, bound, false, on_failure, &report);
    std::fprintf(out, "%-28s %7ld schedules, %ld failing, %.1f s\n", s.name, n,
                 report.failing - before,
                 static_cast<double>(std::clock() - began) / CLOCKS_PER_SEC);
    schedules += n;
    ++scenarios;
  }
  if (scenarios == 0) return usage();
  std::fprintf(
      out,
      "interleaving explorer: %d scenarios, %ld schedules, preemption bound %d, %ld violations\n",
      scenarios, schedules, bound, report.failing);
  return report.failing == 0 ? 0 : 1;
}
