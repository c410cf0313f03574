#include "scenario.h"

#include <stdexcept>

#include <json/writer.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "register_map.h"

namespace qxperf {
namespace {

// A meter under a balanced load of about 1.1 kW per phase at 50 Hz: every
// snapshot member is a non-trivial real, as in service.
const std::vector<std::uint16_t> kBlock1 = {
    2201, 3812, 5123, 3, 1127, 9876, 172, 1140, 2198, 3809, 5087, 1,     1118, 9861, 181, 1133,
    2205, 3815, 5150, 0, 1133, 9880, 169, 1145, 3812, 2201, 5120, 46811, 3378, 9872, 522, 3418};
const std::vector<std::uint16_t> kBlock2 = {12345, 678, 2345, 12, 0, 0, 0, 0};

// Room for the snapshot text with a wide margin.
constexpr std::size_t kOutCapacity = 4096;

}  // namespace

Scenario::Scenario(int meters) : block1_(kBlock1), block2_(kBlock2), out_(kOutCapacity) {
  if (meters < 1) throw std::invalid_argument("a scenario needs at least one meter");
  framework_.set_recording(false);
  for (int i = 0; i < meters; ++i) {
    meters_.push_back(qxhost::make_meter());
    framework_.attach(*meters_.back());
  }
  for (current_ = 0; current_ < meters_.size(); ++current_) {
    round();
    if (snapshot_text() <= 0) throw std::runtime_error("no snapshot text");
    if (!value_query()) throw std::runtime_error("the value query did not throw out_of_range");
  }
  current_ = 0;
  cached_record_ = qxhost::record_bytes(device());
  yardstick_ = device().snapshot;  // deep copy: the same 37 members
}

void Scenario::round() { qxhost::complete_round(device(), block1_, block2_); }

void Scenario::load_cache() {
  device().LoadFromCache(cached_record_.data(), static_cast<int>(cached_record_.size()));
}

int Scenario::snapshot_text() {
  int out_size = 0;
  device().DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, out_.data(),
                           static_cast<int>(out_.size()), out_size);
  return out_size;
}

int Scenario::snapshot_address() {
  int out_size = 0;
  device().DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0, out_.data(),
                           static_cast<int>(out_.size()), out_size);
  return out_size;
}

void Scenario::advance_last_update() { device().last_update += boost::posix_time::seconds(1); }

bool Scenario::value_query() {
  try {
    device().Get_Value(0, qx7540pm::key_of(0));
  } catch (const std::out_of_range&) {
    return true;
  }
  return false;
}

std::size_t Scenario::write_yardstick() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return Json::FastWriter().write(yardstick_).size();
#pragma GCC diagnostic pop
}

const std::vector<Operation>& operations() {
  static const std::vector<Operation> all = {
      {"round", "RefreshStatus, two replies, RoundDone (alarm check in mode 1)",
       [](Scenario& s) { s.round(); }},
      {"801-fresh", "801 between rounds: copy the text kept from the rendering",
       [](Scenario& s) { s.snapshot_text(); }},
      {"801-rebuild", "801 after a new round: render 37 members, then serialise",
       [](Scenario& s) {
         s.advance_last_update();
         s.snapshot_text();
       }},
      {"803", "803 between rounds: staleness test, hand out the address",
       [](Scenario& s) { s.snapshot_address(); }},
      {"query", "value query: throw and catch out_of_range", [](Scenario& s) { s.value_query(); }},
      {"cache", "cache load: accept 91 bytes, then a full RoundDone",
       [](Scenario& s) { s.load_cache(); }},
      {"yardstick", "Json::FastWriter().write() of the same 37-member object",
       [](Scenario& s) { s.write_yardstick(); }},
  };
  return all;
}

const Operation* find_operation(const std::string& name) {
  for (const Operation& op : operations()) {
    if (name == op.name) return &op;
  }
  return nullptr;
}

}  // namespace qxperf
