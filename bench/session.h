// One bench run, as the controller would drive the device: a framework
// thread starts each round on the interval and carries the Modbus replies,
// while the controller's thread asks for the snapshot (801) and the value
// query and reads what the device published and reported.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qxhost/round_output.h"
#include "round_format.h"
#include "spdevice.h"
#include "zelfw/modbus_link.h"
#include "zelfw/standin.h"

namespace qxbench {

/// One meter of the run: its device, the framework it is attached to, and
/// its slave id on the line.
struct SessionMeter {
  SPModbus* device = nullptr;
  zelfw::Framework* framework = nullptr;
  int slave = 1;
  std::array<bool, 3> monitored{};  ///< has_a, has_b, has_c, for the alarm hints
};

class Session {
 public:
  /// The meters are polled in turn on the one link, in the order given.
  Session(std::vector<SessionMeter> meters, zelfw::LibModbusLink& link,
          qxhost::RoundOutput& output);
  ~Session();

  /// Hands a cached record to each meter's device on this (the controller's)
  /// thread; false when a device refused it. The reports are round 0.
  bool restore_cache(const std::vector<unsigned char>& bytes, std::vector<RoundResult>& reports);

  /// Every frame on the wire goes into the round's report.
  void set_trace(bool on);
  /// What each round's diagnosis judges the supply against.
  void set_diagnosis(const DiagnosisBasis& basis) { basis_ = basis; }

  /// Polls `rounds` cycles (0: until stopped), every meter once per cycle,
  /// a cycle starting every interval_ms, and calls on_report on this thread
  /// for each meter's round, in order; on_cycle after each whole cycle with
  /// its time (the first meter's request to the last one's outcome).
  void run(long rounds, int interval_ms, const std::function<void(const RoundResult&)>& on_report,
           const std::function<void(double cycle_ms)>& on_cycle = {});

  /// Ends the run after the round in progress; safe from any thread.
  void request_stop();

 private:
  /// What one meter's device published and reported in its current round.
  struct Collected {
    std::vector<unsigned char> published;
    std::vector<std::vector<unsigned char>> stored;
    bool alarm_reported = false;
    AlarmReport alarm;
    std::string last_stamp;  ///< update time of the last good round's snapshot
    DiagnosisMemory diagnosis;
  };

  void observe(std::size_t meter, const zelfw::Call& call);
  void framework_loop(long rounds, int interval_ms);
  RoundResult poll_round(std::size_t meter, long round, long tag);
  /// Takes what the meter's device published and reported into the report.
  void collect(std::size_t meter, RoundResult& report);
  /// The controller's side of a finished round: snapshot, query, device lines.
  void complete(std::size_t meter, long tag, RoundResult& report);

  std::vector<SessionMeter> meters_;
  zelfw::LibModbusLink& link_;
  qxhost::RoundOutput& output_;
  const std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
  long next_tag_ = 0;  ///< marks each round in the device's output
  DiagnosisBasis basis_;

  std::mutex collect_mutex_;  ///< what the devices published in the current round
  std::vector<Collected> collected_;
  bool tracing_ = false;
  std::vector<TracedFrame> frames_;

  std::mutex mutex_;
  std::condition_variable changed_;
  struct Finished {
    RoundResult report;
    std::size_t meter = 0;
    long tag = 0;          ///< the round's mark in the device's output
    double cycle_ms = -1;  ///< >= 0: the last round of a cycle
  };
  std::deque<Finished> finished_;
  bool framework_done_ = false;
  std::atomic<bool> stop_{false};
};

}  // namespace qxbench
