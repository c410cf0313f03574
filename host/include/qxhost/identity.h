// What a loaded plug-in says about itself: its version note and the GNU
// build-id the linker gave it, both read from the file the loader mapped (its
// path in the link map), so they name the file in use (its separate debug
// file carries the same build-id).
#pragma once

#include <string>

#include "qxhost/plugin.h"

namespace qxhost {

struct PluginIdentity {
  std::string version;   ///< the version note's text; empty when there is none
  std::string build_id;  ///< the GNU build-id in lower-case hex; empty when there is none
};

/// The identity of the object behind a dlopen handle; both empty for a null handle.
PluginIdentity identify(void* handle);
inline PluginIdentity identify(const Plugin& plugin) { return identify(plugin.handle()); }

/// "version 1.0.0, build-id 0123abcd...", saying "no version" or "no build-id"
/// for what is missing.
std::string describe(const PluginIdentity& identity);

}  // namespace qxhost
