#include "memory.h"

#include <malloc.h>

#include <cstring>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "register_map.h"
#include "scenario.h"

namespace qxperf {
namespace {

long long heap_in_use() { return static_cast<long long>(mallinfo2().uordblks); }

// Everything done once per process (stdout's buffer, time zone data, the
// plug-in's lazy bindings, locale facets) happens here, outside the figures.
void warm_up() {
  Scenario s;
  for (const Operation& op : operations()) op.run(s);
}

}  // namespace

MemoryFigures measure_memory(int rounds) {
  warm_up();
  MemoryFigures m{};
  m.object_size = sizeof(QX7540PM);
  m.rounds = rounds;

  // The harness's own buffers come first, outside every figure.
  zelfw::Framework framework;
  framework.set_recording(false);
  const std::vector<std::uint16_t> block1(32, 2201);
  const std::vector<std::uint16_t> block2(8, 12345);
  std::vector<unsigned char> cached(sizeof(QX7540PM_Data_t));
  std::vector<char> out(4096);
  int out_size = 0;

  const long long before = heap_in_use();
  qxhost::MeterPtr device = qxhost::make_meter();
  const long long created = heap_in_use();
  // The framework's own per-device state is not the plug-in's: leave it out.
  framework.attach(*device);
  const long long attached = heap_in_use();

  const auto run_round = [&] { qxhost::complete_round(*device, block1, block2); };
  run_round();
  device->DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, out.data(),
                          static_cast<int>(out.size()), out_size);
  const long long rendered = heap_in_use();

  std::memcpy(cached.data(), &device->raw_data, cached.size());
  for (int i = 0; i < rounds; ++i) {
    run_round();
    device->last_update += boost::posix_time::seconds(1);
    device->DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, out.data(),
                            static_cast<int>(out.size()), out_size);
    device->DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0, out.data(),
                            static_cast<int>(out.size()), out_size);
    try {
      device->Get_Value(0, qx7540pm::key_of(0));
    } catch (const std::out_of_range&) {
    }
    device->LoadFromCache(cached.data(), static_cast<int>(cached.size()));
  }
  const long long after = heap_in_use();

  m.heap_after_create = created - before;
  m.heap_after_snapshot = (created - before) + (rendered - attached);
  m.growth = after - rendered;
  return m;
}

void print_memory(std::ostream& out, const MemoryFigures& m) {
  out << "sizeof(QX7540PM)                      " << m.object_size << " bytes\n"
      << "heap held by a new device             " << m.heap_after_create << " bytes\n"
      << "heap held after first snapshot        " << m.heap_after_snapshot << " bytes\n"
      << "heap growth over " << m.rounds << " rounds+requests  " << m.growth << " bytes\n";
}

}  // namespace qxperf
