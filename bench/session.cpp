#include "session.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <json/reader.h>

#include "qx7540pm.h"
#include "qxcore/text.h"
#include "qxhost/snapshot.h"
#include "register_map.h"

namespace qxbench {
namespace {

using Clock = std::chrono::steady_clock;

// The value query's arguments: the controller's first point, by snapshot name.
constexpr unsigned kQueryIndex = 0;
constexpr const char* kQueryName = qx7540pm::kRegisterMap[kQueryIndex].key;

double elapsed_ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

}  // namespace

Session::Session(std::vector<SessionMeter> meters, zelfw::LibModbusLink& link,
                 qxhost::RoundOutput& output)
    : meters_(std::move(meters)), link_(link), output_(output), collected_(meters_.size()) {
  for (std::size_t i = 0; i < meters_.size(); ++i) {
    meters_[i].framework->set_observer([this, i](const zelfw::Call& call) { observe(i, call); });
    link_.route(*meters_[i].device, meters_[i].slave);
  }
}

Session::~Session() {
  link_.set_trace(nullptr);
  for (const SessionMeter& meter : meters_) meter.framework->set_observer(nullptr);
}

void Session::set_trace(bool on) {
  {
    std::lock_guard<std::mutex> lock(collect_mutex_);
    tracing_ = on;
  }
  if (!on) {
    link_.set_trace(nullptr);
    return;
  }
  link_.set_trace([this](const zelfw::Frame& frame) {
    TracedFrame traced = traced_frame(frame, began_);
    std::lock_guard<std::mutex> lock(collect_mutex_);
    frames_.push_back(std::move(traced));
  });
}

void Session::observe(std::size_t meter, const zelfw::Call& call) {
  switch (call.op) {
    case zelfw::Op::kSendSP: {
      std::lock_guard<std::mutex> lock(collect_mutex_);
      collected_[meter].published = call.bytes;
      break;
    }
    case zelfw::Op::kCheckThresholdBool: {
      if (call.texts.size() < 4 || call.ints.size() < 2) break;
      std::lock_guard<std::mutex> lock(collect_mutex_);
      collected_[meter].alarm_reported = true;
      collected_[meter].alarm = AlarmReport{call.texts[0], call.texts[1], call.texts[2],
                                            call.texts[3], call.ints[1] != 0};
      break;
    }
    case zelfw::Op::kSaveDeviceHistory: {
      if (call.bytes.empty()) break;
      std::lock_guard<std::mutex> lock(collect_mutex_);
      collected_[meter].stored.push_back(call.bytes);
      break;
    }
    default:
      break;
  }
}

void Session::collect(std::size_t meter, RoundResult& report) {
  std::lock_guard<std::mutex> lock(collect_mutex_);
  Collected& c = collected_[meter];
  report.record = std::move(c.published);
  report.stored = std::move(c.stored);
  c.stored.clear();
  report.alarm_reported = c.alarm_reported;
  report.alarm = c.alarm;
  c.published.clear();
  c.alarm_reported = false;
  report.traced = tracing_;
  report.trace = std::move(frames_);
  frames_.clear();
}

bool Session::restore_cache(const std::vector<unsigned char>& bytes,
                            std::vector<RoundResult>& reports) {
  reports.clear();
  bool all_accepted = true;
  for (std::size_t i = 0; i < meters_.size(); ++i) {
    RoundResult report;
    report.round = 0;
    report.slave = meters_[i].slave;
    report.several = meters_.size() > 1;
    report.time = qxcore::local_time_now();
    const long tag = next_tag_++;
    const Clock::time_point begin = Clock::now();
    const int accepted =
        meters_[i].device->LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
    report.round_ms = elapsed_ms(begin);
    output_.end_round(tag);
    collect(i, report);
    report.ok = accepted == 1 && !report.record.empty();
    complete(i, tag, report);
    reports.push_back(std::move(report));
    all_accepted = all_accepted && accepted == 1;
  }
  return all_accepted;
}

RoundResult Session::poll_round(std::size_t meter, long round, long tag) {
  RoundResult report;
  report.round = round;
  report.slave = meters_[meter].slave;
  report.several = meters_.size() > 1;
  report.time = qxcore::local_time_now();
  const long long failures_before = link_.counts().failed();
  const Clock::time_point begin = Clock::now();
  // The link answers inside the call: when it returns, the round is over.
  meters_[meter].device->RefreshStatus();
  report.round_ms = elapsed_ms(begin);
  output_.end_round(tag);
  if (link_.counts().failed() != failures_before) {
    report.failed = true;
    report.failure = link_.last_failure();
  }
  // The observer has seen every call; a long run must not keep the call log.
  meters_[meter].framework->clear_calls();
  collect(meter, report);
  report.ok = !report.failed && !report.record.empty();
  return report;
}

void Session::framework_loop(long rounds, int interval_ms) {
  const Clock::time_point start = Clock::now();
  for (long round = 1; rounds == 0 || round <= rounds; ++round) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const Clock::time_point due = start + std::chrono::milliseconds(interval_ms) * (round - 1);
      changed_.wait_until(lock, due, [this] { return stop_.load(); });
      if (stop_) break;
    }
    // As the controller's master: every meter on the line in turn.
    const Clock::time_point cycle_begin = Clock::now();
    for (std::size_t i = 0; i < meters_.size(); ++i) {
      if (i > 0 && stop_) break;
      const long tag = next_tag_++;
      Finished done{poll_round(i, round, tag), i, tag, -1};
      if (i + 1 == meters_.size()) done.cycle_ms = elapsed_ms(cycle_begin);
      std::lock_guard<std::mutex> lock(mutex_);
      finished_.push_back(std::move(done));
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  framework_done_ = true;
  changed_.notify_all();
}

void Session::run(long rounds, int interval_ms,
                  const std::function<void(const RoundResult&)>& on_report,
                  const std::function<void(double cycle_ms)>& on_cycle) {
  std::thread framework_thread(
      [this, rounds, interval_ms] { framework_loop(rounds, interval_ms); });
  for (;;) {
    Finished done;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !finished_.empty() || framework_done_; });
      if (finished_.empty()) break;
      done = std::move(finished_.front());
      finished_.pop_front();
    }
    complete(done.meter, done.tag, done.report);
    on_report(done.report);
    if (done.cycle_ms >= 0 && on_cycle) on_cycle(done.cycle_ms);
  }
  framework_thread.join();
}

void Session::request_stop() {
  stop_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  changed_.notify_all();
}

void Session::complete(std::size_t meter, long tag, RoundResult& report) {
  SPModbus& device = *meters_[meter].device;
  report.snapshot = qxhost::read_snapshot(device);
  try {
    const double value = device.Get_Value(kQueryIndex, kQueryName);
    report.query = "returned " + std::to_string(value);
  } catch (const std::out_of_range& e) {
    report.query = e.what();
  } catch (const std::exception& e) {
    report.query = std::string("threw: ") + e.what();
  }
  report.device_lines = output_.take_lines(tag);
  const Json::Value& stamp = report.snapshot.isObject() ? report.snapshot[qx7540pm::kUpdateTimeKey]
                                                        : Json::Value::nullSingleton();
  std::string& last_stamp = collected_[meter].last_stamp;
  if (report.ok && stamp.isString()) {
    report.snapshot_repeated = stamp.asString() == last_stamp;
    last_stamp = stamp.asString();
  }
  report.diagnosis.basis = basis_;
  if (report.ok) {
    report.diagnosis =
        diagnose_round(readings_of_snapshot(report.snapshot), basis_,
                       report.alarm_reported && report.alarm.state, collected_[meter].diagnosis);
    report.warnings = plausibility_warnings(report.snapshot);
    if (report.alarm_reported) {
      for (qxcore::Message& w :
           alarm_scale_warnings(report.record, report.alarm, meters_[meter].monitored)) {
        report.warnings.push_back(std::move(w));
      }
    }
  }
}

}  // namespace qxbench
