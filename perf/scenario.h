// The operations the benchmarks time and the instruction counts measure, each
// on a meter in its steady state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "qxhost/rig.h"

namespace qxperf {

/// Meters from the loaded plug-in (one unless asked for more), attached to one
/// stand-in framework with recording off, each after one complete round and
/// one rendered snapshot. The operations act on the current meter.
class Scenario {
 public:
  explicit Scenario(int meters = 1);
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  /// RefreshStatus, the two replies, and RoundDone with the alarm check (mode 1).
  void round();
  /// Hands the device a cached record: a round without the Modbus exchange.
  void load_cache();
  /// Control code 801 into a buffer large enough for the text; returns its length.
  int snapshot_text();
  /// Control code 803; returns the reported size.
  int snapshot_address();
  /// Moves last_update one second on, as a round in a new second does, so that
  /// the next snapshot request renders the record again.
  void advance_last_update();
  /// The value query; true when it answered with its out_of_range as designed.
  bool value_query();
  /// The yardstick: a fresh FastWriter over a copy of the rendered snapshot.
  std::size_t write_yardstick();

  /// Makes the next meter (after the last: the first) the current one.
  void next_meter() { current_ = (current_ + 1) % meters_.size(); }
  std::size_t meters() const { return meters_.size(); }

  QX7540PM& device() { return *meters_[current_]; }
  zelfw::Framework& framework() { return framework_; }

 private:
  zelfw::Framework framework_;  ///< declared first: it outlives the meters
  std::vector<qxhost::MeterPtr> meters_;
  std::size_t current_ = 0;
  std::vector<std::uint16_t> block1_;
  std::vector<std::uint16_t> block2_;
  std::vector<unsigned char> cached_record_;
  std::vector<char> out_;
  Json::Value yardstick_;
};

/// An operation the instruction-count driver can repeat.
struct Operation {
  const char* name;
  const char* what;
  void (*run)(Scenario&);
};

/// Every operation, in report order.
const std::vector<Operation>& operations();
/// The operation of that name, or null.
const Operation* find_operation(const std::string& name);

}  // namespace qxperf
