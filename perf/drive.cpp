#include "drive.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "count_marker.h"
#include "scenario.h"

namespace qxperf {
namespace {

// Outside qemu this is a plain getpid.
void mark(MarkerOp op, std::uintptr_t a = 0, std::uintptr_t b = 0, std::uintptr_t c = 0) {
  ::syscall(SYS_getpid, static_cast<long>(kMarkerMagic), static_cast<long>(op),
            static_cast<long>(a), static_cast<long>(b), static_cast<long>(c));
}

std::string own_path() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

CodeClass class_of(const std::string& path, const std::string& self) {
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (name == "qx7540pm.so") return kCodePlugin;
  if (name.rfind("libzelfw.so", 0) == 0) return kCodeStandin;
  if (!self.empty() && path == self) return kCodeDriver;
  return kCodeLibrary;
}

// The executable mappings of the plug-in, the stand-in and this program, from
// the process's own memory map (under qemu-user: the guest's).
void announce_code(const std::string& maps_path) {
  std::ifstream maps("/proc/self/maps");
  std::ofstream copy;
  if (!maps_path.empty()) copy.open(maps_path);
  const std::string self = own_path();
  std::string line;
  while (std::getline(maps, line)) {
    if (copy.is_open()) copy << line << "\n";
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    fields >> range >> perms >> offset >> device >> inode >> path;
    if (perms.find('x') == std::string::npos || path.empty()) continue;
    const CodeClass code = class_of(path, self);
    if (code == kCodeLibrary) continue;
    const std::size_t dash = range.find('-');
    mark(kMarkRange, std::stoull(range.substr(0, dash), nullptr, 16),
         std::stoull(range.substr(dash + 1), nullptr, 16), code);
  }
}

}  // namespace

int drive(const DriveOptions& options) {
  const Operation* op = find_operation(options.operation);
  if (op == nullptr || options.count <= 0 || options.meters <= 0) {
    std::cerr << "unknown operation, count or meters: " << options.operation << " " << options.count
              << " " << options.meters << "\n";
    return 2;
  }
  Scenario scenario(options.meters);
  // Lazy bindings, stdout's buffer and time-zone data, on every meter.
  for (std::size_t i = 0; i < 16 * scenario.meters(); ++i) {
    op->run(scenario);
    scenario.next_meter();
  }
  announce_code(options.maps_path);
  mark(kMarkBegin, 0);
  mark(kMarkEnd);
  mark(kMarkBegin, 1);
  CALLGRIND_TOGGLE_COLLECT;
  for (long i = 0; i < options.count; ++i) {
    op->run(scenario);
    scenario.next_meter();
  }
  CALLGRIND_TOGGLE_COLLECT;
  mark(kMarkEnd);
  std::cerr << options.operation << ": " << options.count << " operations on " << options.meters
            << (options.meters == 1 ? " meter\n" : " meters\n");
  return 0;
}

}  // namespace qxperf
