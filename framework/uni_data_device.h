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

#include "round_handover.h"
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
    std::memset(&published_data, 0, sizeof published_data);
  }
  ~UniDataDevice() override = default;

  using VDeviceInterface::LoadFromCache;

  /// Restores a cached record and republishes it as a fresh round: 1 accepted,
  /// 0 rejected (null data, any size but the record's, or no place left among
  /// the rounds waiting for publication). Published before returning, unless
  /// another thread is publishing a round: the next call publishes it then.
  int LoadFromCache(const unsigned char* data, int size) override;

  /// Publishes the rounds that are due: for each, SendSP, the device's and the
  /// framework's checks, and the history. A round is completed (stamped and
  /// queued) where its last block is stored or its cached record accepted;
  /// this runs the framework's part of it, unless another call publishes.
  void RoundDone() override;

  /// Reads b_mode, then hands the settings to the protocol.
  bool InitSetting(const Json::Value& setting) override;

  /// The device's own alarm checks after each round; none by default.
  virtual void RunCheckThreshold() {}

  DataT raw_data;
  int mode = 1;
  boost::posix_time::ptime snapshot_time;
  /// Guards the snapshot, snapshot_time and what a device keeps with the
  /// snapshot (its text). Held only while the snapshot is rendered or copied,
  /// never across a call into the framework; no round waits for it. In-process
  /// readers of the snapshot through its address (control code 803) hold it
  /// while they read, never modify the value and call no device operation
  /// meanwhile. Taken before state_mutex when both are needed.
  mutable std::mutex snapshot_mutex;
  /// The rendered snapshot.
  Json::Value snapshot;

  // Our additions, after the members the controller's header lists.

  /// The record as of the last completed round or accepted cache load: what
  /// the snapshot renders, never a round half way through. Written when the
  /// round completes, under state_mutex, with last_update and data_ready.
  DataT completed_data;
  /// The record of the round being published: the bytes SendSP and
  /// SaveDeviceHistory are given, and what the device's checks judge. Only the
  /// publishing thread writes it; its address stays valid for the device's life.
  DataT published_data;
  /// Guards the device's small state: raw_data, poll_step, the settings, the
  /// round's time, ready flag and completed copy, and the rounds waiting for
  /// publication and who publishes them. Held only around copies, never
  /// across a call into the framework.
  mutable std::mutex state_mutex;
  /// The poll round in progress and the completed rounds waiting for their
  /// publication (at most four; no allocation). Guarded by state_mutex.
  RoundHandover<DataT> rounds;
  /// Polled rounds that gave way while waiting because the framework was slow
  /// to take the earlier ones; polled rounds given up by a control request
  /// while waiting; cache loads refused for want of a place.
  unsigned long dropped_rounds = 0;
  unsigned long abandoned_rounds = 0;
  unsigned long refused_cache_loads = 0;

 protected:
  /// Copies the data identifier into the record's first four bytes. Caller
  /// holds state_mutex.
  void stamp_data_id();
  /// Our addition: the template's settings, the identifier then b_mode, apart
  /// from the framework's part. Caller holds state_mutex.
  void apply_settings(const Json::Value& setting);
  /// Our addition: an appSetting member as the controller writes it, or null
  /// when appSetting is not an object or the member is absent or null. Never
  /// adds members (the controller's settings object is const).
  static const Json::Value* find_app_setting(const Json::Value& setting, const char* key);
  /// A new round was asked for or a control request came: no block of the
  /// round is stored yet. A control request also gives up the polled rounds
  /// waiting for publication (cache loads stay). Caller holds state_mutex.
  void restart_round(bool control_request);
  /// Completes the polled round whose last block the caller has just stored,
  /// in the same locked step: the stamped record becomes the completed copy
  /// and waits for publication, and this call takes the publisher's role for
  /// it and the rounds before it unless another call holds the role. Caller
  /// holds state_mutex.
  void complete_polled_round();
  /// In a call's first locked step: takes the publisher's role for the rounds
  /// waiting now, if any wait and no other call holds it; true if this call
  /// took it. Caller holds state_mutex.
  bool claim_publication();
  /// Gives up a role the caller claimed and has not begun to publish under
  /// (its framework call threw first). Caller holds state_mutex.
  void drop_claim();
  /// Publishes what the role this thread holds allows, oldest first, with no
  /// lock held during each round's framework calls. Called with state_mutex
  /// held through `state`; returns with it held.
  void publish_due(std::unique_lock<std::mutex>& state);

 private:
  /// Stamps the record with the local time, makes it the completed round and
  /// queues it for publication. Caller holds state_mutex and has made room.
  void complete_record(DataT& record, bool cached);
  /// One round's framework steps, from SendSP to the emptied rule list, on
  /// published_data. Runs with no lock of the device held.
  void publish_round();
};

#include "uni_data_device_impl.h"
