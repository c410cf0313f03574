// The plug-in of this build tree, for the tests, fuzzers, soak run and
// benchmarks. On its own so that programs which never ask for it, the bench
// and what ships, carry no path of the build tree.
#include "qxhost/plugin.h"

namespace qxhost {

const char* built_plugin_path() { return QX7540PM_PLUGIN_PATH; }

const Plugin& Plugin::built() {
  static const Plugin plugin = open(built_plugin_path());
  return plugin;
}

MeterPtr make_meter() { return Plugin::built().create_meter(); }

}  // namespace qxhost
