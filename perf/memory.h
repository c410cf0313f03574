// Memory held by meters, measured on the heap of this process.
#pragma once

#include <cstddef>
#include <ostream>

namespace qxperf {

struct MemoryFigures {
  int meters;                     ///< meters in the process at once
  std::size_t object_size;        ///< sizeof(QX7540PM)
  long long heap_after_create;    ///< heap held per new meter
  long long heap_after_snapshot;  ///< ... per meter after its first round and rendered snapshot
  long long growth;               ///< heap change over `rounds` further cycles, all meters
  long long left_after_destroy;   ///< heap still held once every meter is destroyed
  int rounds;
};

/// Creates `meters` meters at once and measures them with mallinfo2; then
/// `rounds` cycles, each giving every meter a round, a rebuilt 801, an 803, a
/// value query and a cache load, for the growth figure.
MemoryFigures measure_memory(int meters, int rounds);

void print_memory(std::ostream& out, const MemoryFigures& m);

}  // namespace qxperf
