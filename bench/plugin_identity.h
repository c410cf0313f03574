// Which plug-in a run loaded: the GNU build-id the linker put into the file,
// which tells two builds apart even when their version is the same.
#pragma once

#include <string>

namespace qxbench {

struct PluginIdentity {
  std::string version = "unknown";  ///< the plug-in states none of its own
  std::string build_id;             ///< lowercase hex; empty when the file has none
};

/// Reads the build-id note of the ELF file at path (either class, either byte order).
PluginIdentity identify_plugin(const std::string& path);

}  // namespace qxbench
