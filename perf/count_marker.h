// How a program run under qemu-user tells the counting plug-in
// (qemu_count.cpp) where the counted window begins and ends, and which code is
// whose: a getpid system call with a magic first argument, which the plug-in
// sees in its system-call callback and the kernel answers as a plain getpid.
#pragma once

#include <cstdint>

namespace qxperf {

constexpr std::uint32_t kMarkerMagic = 0x71786d6bu;  // "qxmk"

/// Second argument of a marker call.
enum MarkerOp : std::uint32_t {
  kMarkBegin = 1,  ///< start counting (third argument: the window's number)
  kMarkEnd = 2,    ///< stop counting and write the window out
  kMarkRange = 3,  ///< third and fourth: [start, end) of code; fifth: its CodeClass
};

/// Whose code an address range holds. Code outside every range is library code.
enum CodeClass : std::uint32_t {
  kCodeLibrary = 0,
  kCodePlugin = 1,   ///< qx7540pm.so
  kCodeStandin = 2,  ///< the stand-in framework: its library calls are its own cost
  kCodeDriver = 3,   ///< the program that drives the plug-in
};

}  // namespace qxperf
