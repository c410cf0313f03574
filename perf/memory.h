// Memory held by one meter, measured on the heap of this process.
#pragma once

#include <cstddef>
#include <ostream>

namespace qxperf {

struct MemoryFigures {
  std::size_t object_size;        ///< sizeof(QX7540PM)
  long long heap_after_create;    ///< heap held by the new device
  long long heap_after_snapshot;  ///< ... after its first round and rendered snapshot
  long long growth;               ///< heap change over `rounds` further rounds and requests
  int rounds;
};

/// Creates meters and measures them with mallinfo2; `rounds` rounds, each with
/// a rebuilt 801, an 803, a value query and a cache load, for the growth figure.
MemoryFigures measure_memory(int rounds);

void print_memory(std::ostream& out, const MemoryFigures& m);

}  // namespace qxperf
