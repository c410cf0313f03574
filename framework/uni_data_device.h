// UniDataDevice: what every record-based device shares. A device keeps one
// packed record, fills it from its protocol's replies and, at the end of each
// round, stamps, publishes, checks and stores it. The record type and the data
// identifier are template arguments; the device adds only its polling steps,
// its checks and its queries. What is ours rather than the controller's (the
// completed-round copy, the round serialisation, the settings helpers) is
// marked "our addition" where it is declared.
#pragma once

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <type_traits>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "ttime.h"
#include "zel_export.h"

template <typename DataT, typename Protocol, int DATA_ID>
class ZEL_API UniDataDevice : public Protocol {
  static_assert(std::is_trivially_copyable<DataT>::value, "records are copied as bytes");
  static_assert(sizeof(DataT) >= 4 + sizeof(ttime_t), "a record holds an identifier and a time");

 public:
  /// Bytes in one record, as published, stored and restored.
  static constexpr unsigned int kRecordSize = sizeof(DataT);
  /// Offset of the round's time stamp: the record's last seven bytes.
  static constexpr unsigned int kStampOffset = sizeof(DataT) - sizeof(ttime_t);

  UniDataDevice() {
    std::memset(&raw_data, 0, sizeof raw_data);
    std::memset(&completed_data, 0, sizeof completed_data);
  }
  ~UniDataDevice() override = default;

  using VDeviceInterface::LoadFromCache;

  /// Restores a cached record and republishes it as a fresh round: 1 accepted,
  /// 0 rejected (null data or any size but the record's).
  int LoadFromCache(const unsigned char* data, int size) override;

  /// Completes a round: stamp the record with the local time, publish it, run
  /// the device's and the framework's checks, store it as history.
  void RoundDone() override;

  /// Reads b_mode, then hands the settings to the protocol.
  bool InitSetting(const Json::Value& setting) override;

  /// The device's own alarm checks after each round; none by default.
  virtual void RunCheckThreshold() {}

  DataT raw_data;
  int mode = 1;
  boost::posix_time::ptime snapshot_time;
  /// Guards the snapshot, snapshot_time, what a device keeps with the
  /// snapshot (its text), the completed-round copy and the round's time and
  /// ready flag. Held only around copies, never across a call into the
  /// framework. In-process readers of the snapshot through its address
  /// (control code 803) hold it while they read, and never modify the value.
  mutable std::mutex snapshot_mutex;
  /// The rendered snapshot.
  Json::Value snapshot;

  // Our additions, after the members the controller's header lists.

  /// The record as of the last completed round or accepted cache load: what
  /// the snapshot renders and what the round publishes and stores, never a
  /// round half way through.
  DataT completed_data;
  /// Serialises whatever writes the record, the poll step or the settings:
  /// replies, rounds, cache loads, settings and control requests. A round holds
  /// it across its framework calls; recursive, so that the framework may call
  /// back into the device on the same thread. Taken before snapshot_mutex, never
  /// while holding it.
  std::recursive_mutex round_mutex;
  /// Accepted cache loads: a poll whose first block a cache load replaced must
  /// not complete with the cached record underneath.
  unsigned cache_loads = 0;
  /// A round is running on the thread that holds round_mutex; a round asked
  /// for meanwhile (a callback completing another one) runs after it.
  bool round_running = false;
  bool round_pending = false;

 protected:
  /// Copies the data identifier into the record's first four bytes.
  void stamp_data_id();
  /// Our addition: the template's settings, the identifier then b_mode, apart
  /// from the framework's part. Caller holds round_mutex.
  void apply_settings(const Json::Value& setting);
  /// Our addition: an appSetting member as the controller writes it, or null
  /// when appSetting is not an object or the member is absent or null. Never
  /// adds members (the controller's settings object is const).
  static const Json::Value* find_app_setting(const Json::Value& setting, const char* key);

 private:
  /// One round's steps after the locked stamp; the caller holds round_mutex.
  void complete_round();
};

#include "uni_data_device_impl.h"
