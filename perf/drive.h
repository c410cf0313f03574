// The instruction-count driver: one operation repeated between two markers, on
// x86-64 under callgrind and on the board's build under qemu-user.
#pragma once

#include <string>

namespace qxperf {

struct DriveOptions {
  std::string operation;
  long count = 1000;
  int meters = 1;         ///< the operation goes to each meter in turn
  std::string maps_path;  ///< when set, the process's memory map is written there
};

/// Warms up, tells a counting qemu plug-in whose code is where, then runs the
/// operation `count` times with counting on (callgrind: --collect-atstart=no;
/// qemu: markers, after an empty window that measures the markers themselves).
/// Returns the exit status.
int drive(const DriveOptions& options);

}  // namespace qxperf
