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

MemoryFigures measure_memory(int meters, int rounds) {
  warm_up();
  MemoryFigures m{};
  m.meters = meters;
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
  std::vector<qxhost::MeterPtr> devices;
  devices.reserve(static_cast<std::size_t>(meters));

  const long long before = heap_in_use();
  for (int i = 0; i < meters; ++i) devices.push_back(qxhost::make_meter());
  const long long created = heap_in_use();
  // The framework's own per-device state is not the plug-in's: leave it out.
  for (qxhost::MeterPtr& device : devices) framework.attach(*device);
  const long long attached = heap_in_use();

  for (qxhost::MeterPtr& device : devices) {
    qxhost::complete_round(*device, block1, block2);
    device->DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, out.data(),
                            static_cast<int>(out.size()), out_size);
  }
  const long long rendered = heap_in_use();

  std::memcpy(cached.data(), &devices.front()->raw_data, cached.size());
  for (int i = 0; i < rounds; ++i) {
    for (qxhost::MeterPtr& device : devices) {
      qxhost::complete_round(*device, block1, block2);
      // Rounds within one second share last_update; a stamp later than every
      // earlier one makes each cycle's 801 render the snapshot again.
      device->last_update += boost::posix_time::seconds(i + 1);
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
  }
  const long long after = heap_in_use();
  devices.clear();
  const long long destroyed = heap_in_use();

  m.heap_after_create = (created - before) / meters;
  m.heap_after_snapshot = ((created - before) + (rendered - attached)) / meters;
  m.growth = after - rendered;
  m.left_after_destroy = destroyed - before;
  return m;
}

void print_memory(std::ostream& out, const MemoryFigures& m) {
  out << "meters in the process                 " << m.meters << "\n"
      << "sizeof(QX7540PM)                      " << m.object_size << " bytes\n"
      << "heap held by a new device             " << m.heap_after_create << " bytes\n"
      << "heap held after first snapshot        " << m.heap_after_snapshot << " bytes\n"
      << "heap growth over " << m.rounds << " rounds+requests  " << m.growth << " bytes\n"
      << "heap left after the meters are gone   " << m.left_after_destroy << " bytes\n";
}

}  // namespace qxperf
