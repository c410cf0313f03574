// One bench run, as the controller would drive the device: a framework
// thread starts each round on the interval and carries the Modbus replies,
// while the controller's thread asks for the snapshot (801) and the value
// query and reads what the device published and reported.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qxhost/round_output.h"
#include "report.h"
#include "spdevice.h"
#include "zelfw/modbus_link.h"
#include "zelfw/standin.h"

namespace qxbench {

/// The device's 801 text, parsed; the text itself when it is not JSON.
Json::Value read_snapshot(ZelSPDevice& device);

class Session {
 public:
  /// history_fd: where every stored record is appended (-1: nowhere).
  Session(ZelSPDevice& device, zelfw::Framework& framework, zelfw::LibModbusLink& link,
          qxhost::RoundOutput& output, int history_fd);
  ~Session();

  /// Hands a cached record to the device on this (the controller's) thread;
  /// false when the device refused it. The report is round 0.
  bool restore_cache(const std::vector<unsigned char>& bytes, RoundReport& report);

  /// Polls `rounds` rounds (0: until stopped), one every interval_ms, and
  /// calls on_report on this thread for each, in order.
  void run(long rounds, int interval_ms, const std::function<void(const RoundReport&)>& on_report);

  /// The phases the device monitors (has_a, has_b, has_c), for the alarm hints.
  void set_monitored(const std::array<bool, 3>& monitored) { monitored_ = monitored; }

  /// Ends the run after the round in progress; safe from any thread.
  void request_stop();

 private:
  void observe(const zelfw::Call& call);
  void framework_loop(long rounds, int interval_ms);
  RoundReport poll_round(long round);
  /// The controller's side of a finished round: snapshot, query, device lines.
  void complete(RoundReport& report);

  ZelSPDevice& device_;
  zelfw::Framework& framework_;
  zelfw::LibModbusLink& link_;
  qxhost::RoundOutput& output_;
  const int history_fd_;

  std::mutex collect_mutex_;  ///< what the device published in the current round
  std::vector<unsigned char> published_;
  bool alarm_reported_ = false;
  AlarmReport alarm_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<RoundReport> finished_;
  bool framework_done_ = false;
  std::atomic<bool> stop_{false};
  std::array<bool, 3> monitored_{};
  std::string last_stamp_;  ///< update time of the last good round's snapshot
};

}  // namespace qxbench
