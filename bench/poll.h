// The bench's polling run.
#pragma once

#include <string>

#include "bench_options.h"

namespace qxbench {

/// The plug-in next to the bench in the build tree and the board bundle,
/// <bench dir>/../qx7540pm.so, else the Debian package's private library
/// directory (packaging/CMakeLists.txt).
std::string default_plugin_path();

/// Polls as the options say; returns the bench's exit code.
int run_bench(const BenchOptions& options);

}  // namespace qxbench
