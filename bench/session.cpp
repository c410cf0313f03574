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
#include "register_map.h"

namespace qxbench {
namespace {

using Clock = std::chrono::steady_clock;

// The snapshot may grow between asking its size and reading it; ask again.
constexpr int kSnapshotAttempts = 3;
// The value query's arguments: the controller's first point, by snapshot name.
constexpr unsigned kQueryIndex = 0;
constexpr const char* kQueryName = qx7540pm::key_of(0);

std::string local_time_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

double elapsed_ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

}  // namespace

Json::Value read_snapshot(ZelSPDevice& device) {
  std::string text;
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    int size = 0;
    device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, nullptr, 0, size);
    if (size <= 0) break;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    int written = 0;
    const int result =
        device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, buffer.data(), size, written);
    if (result == 0 && written >= 0 && written <= size) {
      text.assign(buffer.data(), static_cast<std::size_t>(written));
      break;
    }
  }
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value snapshot;
  std::string error;
  if (!reader->parse(text.data(), text.data() + text.size(), &snapshot, &error)) {
    // Not JSON: show the device's text as it came.
    snapshot = Json::Value(text);
  }
  return snapshot;
}

Session::Session(ZelSPDevice& device, zelfw::Framework& framework, zelfw::LibModbusLink& link,
                 qxhost::RoundOutput& output, int history_fd)
    : device_(device),
      framework_(framework),
      link_(link),
      output_(output),
      history_fd_(history_fd) {
  framework_.set_observer([this](const zelfw::Call& call) { observe(call); });
}

Session::~Session() { framework_.set_observer(nullptr); }

void Session::observe(const zelfw::Call& call) {
  switch (call.op) {
    case zelfw::Op::kSendSP: {
      std::lock_guard<std::mutex> lock(collect_mutex_);
      published_ = call.bytes;
      break;
    }
    case zelfw::Op::kCheckThresholdBool: {
      if (call.texts.size() < 4 || call.ints.size() < 2) break;
      std::lock_guard<std::mutex> lock(collect_mutex_);
      alarm_reported_ = true;
      alarm_ = AlarmReport{call.texts[0], call.texts[1], call.texts[2], call.texts[3],
                           call.ints[1] != 0};
      break;
    }
    case zelfw::Op::kSaveDeviceHistory:
      // One write per record: a reader of the file never sees half of one.
      if (history_fd_ >= 0 && !call.bytes.empty()) {
        [[maybe_unused]] const ssize_t n =
            ::write(history_fd_, call.bytes.data(), call.bytes.size());
      }
      break;
    default:
      break;
  }
}

bool Session::restore_cache(const std::vector<unsigned char>& bytes, RoundReport& report) {
  {
    std::lock_guard<std::mutex> lock(collect_mutex_);
    published_.clear();
    alarm_reported_ = false;
  }
  report = RoundReport{};
  report.round = 0;
  report.time = local_time_now();
  const Clock::time_point begin = Clock::now();
  const int accepted = device_.LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
  report.round_ms = elapsed_ms(begin);
  output_.end_round(0);
  {
    std::lock_guard<std::mutex> lock(collect_mutex_);
    report.record = published_;
    report.alarm_reported = alarm_reported_;
    report.alarm = alarm_;
  }
  report.ok = accepted == 1 && !report.record.empty();
  complete(report);
  return accepted == 1;
}

RoundReport Session::poll_round(long round) {
  {
    std::lock_guard<std::mutex> lock(collect_mutex_);
    published_.clear();
    alarm_reported_ = false;
  }
  RoundReport report;
  report.round = round;
  report.time = local_time_now();
  const long long failures_before = link_.counts().failed();
  const Clock::time_point begin = Clock::now();
  // The link answers inside the call: when it returns, the round is over.
  device_.RefreshStatus();
  report.round_ms = elapsed_ms(begin);
  output_.end_round(round);
  if (link_.counts().failed() != failures_before) {
    report.failed = true;
    report.failure = link_.last_failure();
  }
  // The observer has seen every call; a long run must not keep the call log.
  framework_.clear_calls();
  std::lock_guard<std::mutex> lock(collect_mutex_);
  report.record = published_;
  report.alarm_reported = alarm_reported_;
  report.alarm = alarm_;
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
    RoundReport report = poll_round(round);
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.push_back(std::move(report));
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  framework_done_ = true;
  changed_.notify_all();
}

void Session::run(long rounds, int interval_ms,
                  const std::function<void(const RoundReport&)>& on_report) {
  std::thread framework_thread(
      [this, rounds, interval_ms] { framework_loop(rounds, interval_ms); });
  for (;;) {
    RoundReport report;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !finished_.empty() || framework_done_; });
      if (finished_.empty()) break;
      report = std::move(finished_.front());
      finished_.pop_front();
    }
    complete(report);
    on_report(report);
  }
  framework_thread.join();
}

void Session::request_stop() {
  stop_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  changed_.notify_all();
}

void Session::complete(RoundReport& report) {
  report.snapshot = read_snapshot(device_);
  try {
    const double value = device_.Get_Value(kQueryIndex, kQueryName);
    report.query = "returned " + std::to_string(value);
  } catch (const std::out_of_range& e) {
    report.query = e.what();
  } catch (const std::exception& e) {
    report.query = std::string("threw: ") + e.what();
  }
  report.device_lines = output_.take_lines(report.round);
  const Json::Value& stamp = report.snapshot.isObject() ? report.snapshot[qx7540pm::kUpdateTimeKey]
                                                        : Json::Value::nullSingleton();
  if (report.ok && stamp.isString()) {
    report.snapshot_repeated = stamp.asString() == last_stamp_;
    last_stamp_ = stamp.asString();
  }
  if (report.ok) {
    report.warnings = plausibility_warnings(report.snapshot);
    if (report.alarm_reported) {
      for (std::string& w : alarm_scale_warnings(report.record, report.alarm, monitored_)) {
        report.warnings.push_back(std::move(w));
      }
    }
  }
}

}  // namespace qxbench
