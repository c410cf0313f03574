// Open calls: while one thread is inside a framework call made by the device,
// every device operation on another thread completes without waiting for it,
// even when the framework holds a lock of its own across its round services.
// Rounds completed meanwhile wait in a bounded queue, and the alarm judges the
// round being published. (How rounds are handed over under every interleaving
// is the interleaving explorer's to check: tests/explore/.)
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

#include "capture.h"
#include "plugin.h"
#include "watchdog.h"

namespace {

using zelfw::Call;
using zelfw::Op;

// Long enough for qemu, valgrind and ThreadSanitizer; only a device that
// waits for the held call ever reaches it.
constexpr std::chrono::seconds kPatience(60);

// Holds the first thread that makes a chosen framework call inside that call
// until released; every later call passes.
class CallGate {
 public:
  explicit CallGate(Op op) : op_(op) {}
  void on_call(const Call& c) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (c.op != op_ || tripped_) return;
    tripped_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
  }
  bool wait_entered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return tripped_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  const Op op_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool tripped_ = false;
  bool released_ = false;
};

// A device on a framework with locks of its own, its calls gated at one
// operation, and standard output discarded (rounds print a line each).
struct GatedRig {
  qxtest::Rig rig;
  CallGate gate;
  qxhost::DiscardStdout quiet;
  explicit GatedRig(Op op) : gate(op) {
    rig.framework.set_service_locking(true);
    rig.framework.set_observer([this](const Call& c) { gate.on_call(c); });
  }
  ~GatedRig() { rig.framework.set_observer(nullptr); }
  QX7540PM& device() { return *rig.device; }
};

std::vector<std::uint16_t> block(int round, int count) {
  return std::vector<std::uint16_t>(static_cast<std::size_t>(count),
                                    static_cast<std::uint16_t>(round * 100));
}

// One polled round whose every register holds round * 100 (phase voltages
// below the alarm threshold for rounds under 12).
void poll(QX7540PM& device, int round) {
  device.RefreshStatus();
  zelfw::deliver_reply(device, block(round, QX7540PM_BLOCK1_COUNT).data(), QX7540PM_BLOCK1_COUNT);
  zelfw::deliver_reply(device, block(round, QX7540PM_BLOCK2_COUNT).data(), QX7540PM_BLOCK2_COUNT);
}

std::vector<unsigned char> cached_record(int round) {
  QX7540PM_Data_t record{};
  for (auto& w : record.block1) w = static_cast<std::uint16_t>(round * 100);
  for (auto& w : record.block2) w = static_cast<std::uint16_t>(round * 100);
  const auto* p = reinterpret_cast<const unsigned char*>(&record);
  return std::vector<unsigned char>(p, p + sizeof record);
}

int load(QX7540PM& device, int round) {
  const auto record = cached_record(round);
  return device.LoadFromCache(record.data(), static_cast<int>(record.size()));
}

// The rounds published, in order, by their first register.
std::vector<int> published_rounds(const zelfw::Framework& framework) {
  std::vector<int> rounds;
  for (const Call& c : framework.calls_of(Op::kSendSP)) {
    std::uint16_t first = 0;
    std::memcpy(&first, c.bytes.data() + 4, sizeof first);
    rounds.push_back(first / 100);
  }
  return rounds;
}

// Runs `work` on a thread of its own and says whether it finished while the
// gated thread was still held; joins it either way, releasing the gate first
// if it has to.
bool finishes_while_held(CallGate& gate, const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread worker(std::move(task));
  const bool finished = done.wait_for(kPatience) == std::future_status::ready;
  if (!finished) gate.release();
  worker.join();
  done.get();
  return finished;
}

struct Stop {
  const char* where;
  Op op;
  std::function<void(QX7540PM&)> enter;  // what the held thread was doing
};

struct Operation {
  const char* name;
  std::function<void(QX7540PM&)> run;
};

Json::Value monitor_phase_a() {
  Json::Value settings;
  settings["appSetting"]["has_a"] = 1;
  return settings;
}

// Every operation a controller thread may call on the device.
std::vector<Operation> controller_operations() {
  return {
      {"310",
       [](QX7540PM& d) {
         int size = 0;
         d.DeviceIoControl(QX7540PM::kControlRequest310, "{}", 2, nullptr, 0, size);
       }},
      {"320",
       [](QX7540PM& d) {
         int size = 0;
         d.DeviceIoControl(QX7540PM::kControlRequest320, "{}", 2, nullptr, 0, size);
       }},
      {"801",
       [](QX7540PM& d) {
         std::vector<char> out(4096);
         int size = 0;
         d.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, out.data(),
                           static_cast<int>(out.size()), size);
       }},
      {"803",
       [](QX7540PM& d) {
         const Json::Value* address = nullptr;
         int size = 0;
         d.DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0, &address, sizeof address, size);
       }},
      {"forwarded 802",
       [](QX7540PM& d) {
         std::int32_t out = 0;
         int size = 0;
         d.DeviceIoControl(802, nullptr, 0, &out, sizeof out, size);
       }},
      {"LoadFromCache", [](QX7540PM& d) { EXPECT_EQ(load(d, 7), 1); }},
      {"InitSetting", [](QX7540PM& d) { d.InitSetting(monitor_phase_a()); }},
      {"Get_Value",
       [](QX7540PM& d) {
         try {
           d.Get_Value(0, "");
         } catch (const std::out_of_range&) {
         }
       }},
      {"RefreshStatus", [](QX7540PM& d) { d.RefreshStatus(); }},
  };
}

TEST(Concurrency, NoOperationWaitsForAFrameworkCallOnAnotherThread) {
  const Json::Value monitor = monitor_phase_a();
  const std::vector<Stop> stops = {
      {"a polled round's SendSP", Op::kSendSP, [](QX7540PM& d) { poll(d, 1); }},
      {"a polled round's CheckThresholdBool", Op::kCheckThresholdBool,
       [](QX7540PM& d) { poll(d, 1); }},
      {"a polled round's SaveDeviceHistory", Op::kSaveDeviceHistory,
       [](QX7540PM& d) { poll(d, 1); }},
      {"a cache load's SendSP", Op::kSendSP, [](QX7540PM& d) { load(d, 1); }},
      {"a control request's OpenPort", Op::kOpenPort,
       [](QX7540PM& d) {
         int size = 0;
         d.DeviceIoControl(QX7540PM::kControlRequest310, "{}", 2, nullptr, 0, size);
       }},
      {"the framework's InitSetting", Op::kInitSetting,
       [&](QX7540PM& d) { d.InitSetting(monitor); }},
      {"a forwarded DeviceIoControl", Op::kDeviceIoControl,
       [](QX7540PM& d) {
         std::int32_t out = 0;
         int size = 0;
         d.DeviceIoControl(802, nullptr, 0, &out, sizeof out, size);
       }},
  };
  const std::vector<Operation> operations = controller_operations();
  for (const Stop& stop : stops) {
    for (const Operation& operation : operations) {
      SCOPED_TRACE(std::string(operation.name) + " during " + stop.where);
      GatedRig g(stop.op);
      QX7540PM& device = g.device();
      std::thread held([&] { stop.enter(device); });
      ASSERT_TRUE(g.gate.wait_entered());
      const bool finished = finishes_while_held(g.gate, [&] { operation.run(device); });
      EXPECT_TRUE(finished) << operation.name << " waited for " << stop.where;
      g.gate.release();
      held.join();
    }
  }
}

// A controller thread holding the framework's own lock calls the device while
// a round on the reply thread waits for that lock inside SendSP: the call
// completes, the controller lets go, and the round goes on.
TEST(Concurrency, ControllerHoldingTheFrameworksLockIsNeverWaitedFor) {
  const std::vector<Operation> operations = controller_operations();
  qxtest::Watchdog watchdog("a controller call during a round", 4 * kPatience);
  for (const Operation& operation : operations) {
    SCOPED_TRACE(operation.name);
    qxtest::Rig rig;
    rig.framework.set_service_locking(true);
    QX7540PM& device = *rig.device;
    std::size_t sent_while_held = 0;
    {
      qxhost::DiscardStdout quiet;
      std::unique_lock<std::recursive_mutex> controller(rig.framework.service_lock());
      std::thread replies([&] { poll(device, 1); });
      // The reply thread has completed its round and taken it for publication.
      for (bool taken = false; !taken; std::this_thread::yield()) {
        std::lock_guard<std::mutex> lock(device.state_mutex);
        taken = device.data_ready && device.rounds.publishing() && device.rounds.waiting() == 0;
      }
      operation.run(device);
      sent_while_held = rig.framework.calls_of(Op::kSendSP).size();
      controller.unlock();
      replies.join();
      // A cache load made meanwhile goes with the next call.
      device.RefreshStatus();
    }
    // It returned with the round still held in the framework's SendSP, and
    // the round went on once the controller let go.
    EXPECT_EQ(sent_while_held, 0u);
    const std::size_t loads = std::string(operation.name) == "LoadFromCache" ? 1 : 0;
    EXPECT_EQ(published_rounds(rig.framework).size(), 1 + loads);
    EXPECT_EQ(rig.framework.calls_of(Op::kSaveDeviceHistory).size(), 1 + loads);
  }
}

// While the framework holds a round, at most four wait: cache loads may take
// three places and are refused, changing nothing, when none is left; a polled
// round always finds one, replacing the oldest waiting polled round.
TEST(Concurrency, RoundsWaitingForPublicationAreBounded) {
  GatedRig g(Op::kSendSP);
  QX7540PM& device = g.device();
  std::thread held([&] { poll(device, 1); });
  ASSERT_TRUE(g.gate.wait_entered());
  QX7540PM_Data_t before{};
  EXPECT_TRUE(finishes_while_held(g.gate, [&] {
    for (int round = 2; round <= 4; ++round) poll(device, round);
    EXPECT_EQ(load(device, 5), 1);
    {
      std::lock_guard<std::mutex> lock(device.state_mutex);
      before = device.completed_data;
    }
    EXPECT_EQ(load(device, 6), 0);
    {
      std::lock_guard<std::mutex> lock(device.state_mutex);
      EXPECT_EQ(std::memcmp(&before, &device.completed_data, sizeof before), 0);
    }
    poll(device, 7);
  }));
  EXPECT_EQ(device.refused_cache_loads, 1u);
  EXPECT_EQ(device.dropped_rounds, 1u);
  g.gate.release();
  held.join();
  // The held thread publishes its own round only; the next call the rest.
  EXPECT_EQ(published_rounds(g.rig.framework), (std::vector<int>{1}));
  device.RefreshStatus();
  EXPECT_EQ(published_rounds(g.rig.framework), (std::vector<int>{1, 3, 4, 5, 7}));

  // Cache loads alone: three wait, the fourth is refused.
  GatedRig c(Op::kSendSP);
  std::thread cache_held([&] { load(c.device(), 1); });
  ASSERT_TRUE(c.gate.wait_entered());
  EXPECT_TRUE(finishes_while_held(c.gate, [&] {
    for (int round = 2; round <= 4; ++round) EXPECT_EQ(load(c.device(), round), 1);
    EXPECT_EQ(load(c.device(), 5), 0);
  }));
  c.gate.release();
  cache_held.join();
  c.device().RefreshStatus();
  EXPECT_EQ(published_rounds(c.rig.framework), (std::vector<int>{1, 2, 3, 4}));
}

// The alarm check judges the round being published, not the next round's
// first block stored meanwhile; its settings are read at the check, as one set.
TEST(Concurrency, AlarmCheckJudgesThePublishedRoundWithSettingsReadAtTheCheck) {
  GatedRig g(Op::kSendSP);
  QX7540PM& device = g.device();
  Json::Value monitor_a;
  monitor_a["appSetting"]["has_a"] = 1;
  device.InitSetting(monitor_a);
  std::thread held([&] { poll(device, 1); });  // phase A at 100 / 100: interrupted
  ASSERT_TRUE(g.gate.wait_entered());
  Json::Value monitor_b;
  monitor_b["appSetting"]["has_a"] = 0;
  monitor_b["appSetting"]["has_b"] = 1;
  EXPECT_TRUE(finishes_while_held(g.gate, [&] {
    device.RefreshStatus();
    zelfw::deliver_reply(device, block(240, 32).data(), 32);  // 240.00: not interrupted
    device.InitSetting(monitor_b);
  }));
  g.gate.release();
  held.join();
  const auto checks = g.rig.framework.calls_of(Op::kCheckThresholdBool);
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].texts.at(3), "输入电源中断 UA:1 UB:1 UC:1");
  EXPECT_EQ(checks[0].ints.at(1), 1);  // judged with has_b, on round 1's phase B
}

}  // namespace
