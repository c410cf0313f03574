// The stand-in framework with recording off: results, queues and links still
// work as with recording on, nothing is logged, and switching back resumes
// logging with full arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "plugin.h"
#include "qxhost/output.h"

namespace {

using zelfw::Op;

// A code the device does not serve: it reaches the framework's DeviceIoControl.
constexpr int kForwardedCode = 999;

int forward(QX7540PM& device) {
  int out = 0;
  int out_size = 0;
  return device.DeviceIoControl(kForwardedCode, nullptr, 0, &out, sizeof out, out_size);
}

TEST(StandinQuiet, ResultsApplyInOrderWhileNothingIsLogged) {
  qxtest::Rig rig;
  int observed = 0;
  rig.framework.set_observer([&observed](const zelfw::Call&) { ++observed; });
  rig.framework.queue_results(Op::kDeviceIoControl, {7, 8});
  rig.framework.set_recording(false);
  EXPECT_FALSE(rig.framework.recording());

  EXPECT_EQ(forward(*rig.device), 7);
  EXPECT_EQ(forward(*rig.device), 8);
  EXPECT_EQ(forward(*rig.device), 0);  // the default once the queue is empty
  rig.framework.set_result(Op::kDeviceIoControl, 5);
  EXPECT_EQ(forward(*rig.device), 5);
  // A result wider than a pointer on the board comes back whole.
  constexpr long long kWide = (1LL << 40) + 3;
  rig.framework.set_result(Op::kSendSP, kWide);
  rig.framework.set_result(Op::kDeviceIoControl, -1);
  EXPECT_EQ(forward(*rig.device), -1);
  EXPECT_EQ(rig.framework.next_result(Op::kSendSP), kWide);

  EXPECT_TRUE(rig.framework.calls().empty());
  EXPECT_EQ(observed, 0);
}

TEST(StandinQuiet, OneQueueIsSharedAcrossRecordingModes) {
  qxtest::Rig rig;
  rig.framework.queue_results(Op::kDeviceIoControl, {1, 2, 3});
  EXPECT_EQ(forward(*rig.device), 1);
  rig.framework.set_recording(false);
  EXPECT_EQ(forward(*rig.device), 2);
  rig.framework.set_recording(true);
  EXPECT_EQ(forward(*rig.device), 3);
  EXPECT_EQ(forward(*rig.device), 0);
  // Only the calls made while recording are in the log, with their arguments.
  const auto calls = rig.framework.calls_of(Op::kDeviceIoControl);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].ints, (std::vector<long long>{kForwardedCode, 0, 4}));
  EXPECT_EQ(calls[0].out_size_on_entry, 4);
}

TEST(StandinQuiet, LinkAnswersAndRecordingResumesWithFullArguments) {
  qxhost::DiscardStdout quiet;  // the round's "rvSize is" line
  qxtest::Rig rig;
  zelfw::ImageLink link;
  for (int r = 0; r < 41; ++r) link.registers()[r] = static_cast<std::uint16_t>(1000 + r);
  rig.framework.set_link(&link);

  rig.framework.set_recording(false);
  rig.device->RefreshStatus();
  EXPECT_EQ(link.reads(), 2);
  EXPECT_TRUE(rig.device->data_ready);
  EXPECT_EQ(rig.device->raw_data.block1[31], 1031);
  EXPECT_EQ(rig.device->raw_data.block2[0], 1033);
  EXPECT_TRUE(rig.framework.calls().empty());

  rig.framework.set_recording(true);
  rig.device->RefreshStatus();
  EXPECT_EQ(link.reads(), 4);
  const auto sent = rig.framework.calls_of(Op::kSendSP);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].ints, (std::vector<long long>{QX7540PM_DATA_ID, 91, 0}));
  EXPECT_EQ(sent[0].bytes, qxtest::record_bytes(*rig.device));
  const auto alarms = rig.framework.calls_of(Op::kCheckThresholdBool);
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(alarms[0].texts.size(), 4u);
  rig.framework.set_link(nullptr);
}

// Queued results are each taken exactly once, whichever thread takes them,
// while other threads switch recording and set the default.
TEST(StandinQuiet, QueuedResultsAreTakenOnceUnderConcurrentCalls) {
  constexpr int kThreads = 4;
  constexpr int kCallsPerThread = 200;
  constexpr int kQueued = 500;
  zelfw::Framework framework;
  std::vector<qxtest::DevicePtr> devices;
  for (int t = 0; t < kThreads; ++t) {
    devices.push_back(qxtest::make_device());
    framework.attach(*devices.back());
  }
  std::vector<long long> queued;
  for (int i = 0; i < kQueued; ++i) queued.push_back(100 + i);
  framework.queue_results(Op::kDeviceIoControl, queued);
  framework.set_result(Op::kDeviceIoControl, -7);
  framework.set_recording(false);

  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    bool on = false;
    while (!stop.load()) {
      framework.set_recording(on = !on);
      framework.set_result(Op::kDeviceIoControl, -7);
    }
  });
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kCallsPerThread; ++i) seen[t].push_back(forward(*devices[t]));
    });
  }
  for (auto& c : callers) c.join();
  stop.store(true);
  toggler.join();

  std::vector<int> taken;
  int defaults = 0;
  for (const auto& s : seen) {
    for (int v : s) {
      if (v == -7) {
        ++defaults;
      } else {
        taken.push_back(v);
      }
    }
  }
  std::sort(taken.begin(), taken.end());
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kQueued));
  for (int i = 0; i < kQueued; ++i) EXPECT_EQ(taken[i], 100 + i);
  EXPECT_EQ(defaults, kThreads * kCallsPerThread - kQueued);
  devices.clear();
}

}  // namespace
