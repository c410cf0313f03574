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
    std::memset(&published_data, 0, sizeof published_data);
    std::memset(&waiting, 0, sizeof waiting);
  }
  ~UniDataDevice() override = default;

  using VDeviceInterface::LoadFromCache;

  /// Restores a cached record and republishes it as a fresh round: 1 accepted,
  /// 0 rejected (null data, any size but the record's, or no place left among
  /// the rounds waiting for publication). Published before returning, unless
  /// another thread is publishing a round: that thread then publishes it next.
  int LoadFromCache(const unsigned char* data, int size) override;

  /// Completes a round: stamp the record with the local time, publish it, run
  /// the device's and the framework's checks, store it as history. A round
  /// completed while another thread publishes is handed to that thread.
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
  /// (control code 803) hold it while they read, never modify the value and
  /// call no device operation meanwhile.
  mutable std::mutex snapshot_mutex;
  /// The rendered snapshot.
  Json::Value snapshot;

  // Our additions, after the members the controller's header lists.

  /// The record as of the last completed round or accepted cache load: what
  /// the snapshot renders, never a round half way through. Written when the
  /// round completes, under snapshot_mutex.
  DataT completed_data;
  /// The record of the round being published: the bytes SendSP and
  /// SaveDeviceHistory are given, and what the device's checks judge. Only the
  /// publishing thread writes it; its address stays valid for the device's life.
  DataT published_data;
  /// Guards the device's small state: raw_data, poll_step, the settings, the
  /// rounds waiting to be published and who publishes them. Held only around
  /// copies, never across a call into the framework. Taken before
  /// snapshot_mutex when both are needed.
  mutable std::mutex state_mutex;

  /// Completed rounds waiting for their publication, oldest first. Bounded:
  /// cache loads may hold all but one place, so a polled round always finds
  /// one (by replacing the oldest waiting polled round if need be).
  static constexpr unsigned kWaitingRounds = 4;
  struct WaitingRound {
    DataT record;
    bool cached;
  };
  WaitingRound waiting[kWaitingRounds];
  unsigned waiting_count = 0;
  /// A thread is publishing rounds; a round completed meanwhile is handed to it.
  bool publishing = false;
  /// A polled round has stored part of raw_data and waits for the rest: a
  /// cache load then leaves raw_data alone.
  bool round_in_progress = false;
  /// A polled round's last reply is stored and its RoundDone is due; a
  /// control request in between gives the round up.
  enum PollCompletion { kNoCompletionDue = 0, kCompletionDue = 1, kCompletionGivenUp = 2 };
  int poll_completion = kNoCompletionDue;
  /// Polled rounds replaced while waiting because the framework was slow to
  /// take the earlier ones; polled rounds given up by a control request while
  /// waiting; cache loads refused for want of a place.
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
  /// A control request: gives up the polled round in progress, one whose
  /// completion is due, and those waiting for publication. Cache loads stay.
  /// Caller holds state_mutex.
  void abandon_polled_rounds();

 private:
  /// Stamps the record with the local time, makes it the completed round and
  /// queues it for publication. Caller holds state_mutex and has made room.
  void complete_record(DataT& record, bool cached);
  /// Whether a round of this kind finds a place to wait; a polled round always
  /// does. Caller holds state_mutex.
  bool has_place(bool cached) const;
  /// Publishes the waiting rounds in order unless another thread already
  /// does, which then publishes them. Called with state_mutex held through
  /// `state`; returns with it held.
  void publish_waiting(std::unique_lock<std::mutex>& state);
  /// One round's framework steps, from SendSP to the emptied rule list, on
  /// published_data. Runs with no lock of the device held.
  void publish_round();
};

#include "uni_data_device_impl.h"
