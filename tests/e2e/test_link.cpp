// The stand-in framework's libmodbus link against the simulated meter, in
// process: a device from the loaded plug-in, polled over a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "capture.h"
#include "e2e.h"
#include "plugin.h"
#include "qxsim/faults.h"
#include "qxsim/meter_sim.h"
#include "zelfw/modbus_link.h"

namespace {

constexpr int kTimeoutMs = 400;

struct Line {
  qxsim::MeterSim sim;
  zelfw::LibModbusLink link;
  explicit Line(qxsim::SimConfig config) : sim(std::move(config)), link(settings(sim)) {}
  static zelfw::LinkSettings settings(qxsim::MeterSim& sim) {
    std::string error;
    if (!sim.start(error)) ADD_FAILURE() << error;
    zelfw::LinkSettings s;
    s.serial_path = sim.port();
    s.timeout_ms = kTimeoutMs;
    return s;
  }
};

class LinkFaults : public ::testing::TestWithParam<qxsim::FaultInfo> {};

TEST_P(LinkFaults, ReachTheDeviceAsOneFailureOfTheirKind) {
  const qxsim::FaultInfo& info = GetParam();
  qxsim::SimConfig config;
  qxsim::FaultSwitch fault;
  fault.fault = info.fault;
  fault.request = 1;
  fault.argument = info.fault == qxsim::Fault::kDelay ? 2 * kTimeoutMs : 3;
  config.faults.switches.push_back(fault);
  Line line(config);
  std::string error;
  ASSERT_TRUE(line.link.open(error)) << error;
  qxtest::Rig rig;
  // A framework with a lock of its own across its round services.
  rig.framework.set_service_locking(true);
  rig.framework.set_link(&line.link);

  rig.device->RefreshStatus();
  EXPECT_TRUE(rig.framework.calls_of(zelfw::Op::kSendSP).empty());
  EXPECT_EQ(rig.framework.calls_of(zelfw::Op::kReadRegisters).size(), 1u);
  const zelfw::LinkCounts counts = line.link.counts();
  EXPECT_EQ(counts.failed(), 1);
  EXPECT_EQ(counts.of(info.failure), 1) << info.name;
  EXPECT_EQ(line.link.last_failure().kind, info.failure);
  if (info.fault == qxsim::Fault::kException) {
    EXPECT_EQ(line.link.last_failure().exception_code, 3);
  }

  // A late reply must be out of the way before the next round: wait for it.
  for (int i = 0; i < 500 && info.fault == qxsim::Fault::kDelay && line.sim.stats().replies == 0;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  rig.device->RefreshStatus();
  const auto published = rig.framework.calls_of(zelfw::Op::kSendSP);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(line.link.counts().replies, 2);
  EXPECT_EQ(line.link.counts().failed(), 1);
  rig.framework.set_link(nullptr);
}

INSTANTIATE_TEST_SUITE_P(EverySwitch, LinkFaults, ::testing::ValuesIn(qxsim::kFaults),
                         [](const ::testing::TestParamInfo<qxsim::FaultInfo>& p) {
                           std::string name = p.param.name;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

TEST(Link, RepliesArriveAsNativeWordsInTheRecord) {
  Line line(qxsim::SimConfig{});
  std::string error;
  ASSERT_TRUE(line.link.open(error)) << error;
  qxtest::Rig rig;
  // A framework with a lock of its own across its round services.
  rig.framework.set_service_locking(true);
  rig.framework.set_link(&line.link);
  rig.device->RefreshStatus();
  const auto published = rig.framework.calls_of(zelfw::Op::kSendSP);
  ASSERT_EQ(published.size(), 1u);
  const qxsim::RegisterImage image = qxsim::Profile().image_for_round(1, {});
  const QX7540PM_Data_t& record = rig.device->raw_data;
  for (int reg = 0; reg < 32; ++reg) EXPECT_EQ(record.block1[reg], image[reg]) << reg;
  for (int reg = 33; reg <= 40; ++reg) EXPECT_EQ(record.block2[reg - 33], image[reg]) << reg;
  const auto reads = rig.framework.calls_of(zelfw::Op::kReadRegisters);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1].ints, (std::vector<long long>{33, 8}));
  rig.framework.set_link(nullptr);
}

TEST(Link, RequestsForAnotherSlaveIdGoUnanswered) {
  Line line(qxsim::SimConfig{});
  zelfw::LinkSettings other = line.link.settings();
  other.slave = 2;
  zelfw::LibModbusLink link(other);
  std::string error;
  ASSERT_TRUE(link.open(error)) << error;
  qxtest::Rig rig;
  // A framework with a lock of its own across its round services.
  rig.framework.set_service_locking(true);
  rig.framework.set_link(&link);
  rig.device->RefreshStatus();
  EXPECT_EQ(link.counts().of(zelfw::Failure::kTimeout), 1);
  rig.framework.set_link(nullptr);
}

// A controller thread sends a control request every few rounds and loads a
// cached record in between while the reply side polls over the real link:
// every published record is one whole sim round or the cached record, stored
// as it was published, and every cache load is published.
TEST(Link, ControlRequestsAndCacheLoadsDuringPollingLoseOrMixNoRecord) {
  constexpr int kRounds = 16;
  constexpr int kJobs = 6;
  Line line(qxsim::SimConfig{});
  std::string error;
  ASSERT_TRUE(line.link.open(error)) << error;
  qxtest::Rig rig;
  // A framework with a lock of its own across its round services.
  rig.framework.set_service_locking(true);
  rig.framework.set_link(&line.link);
  QX7540PM_Data_t cached{};
  for (int i = 0; i < 32; ++i) cached.block1[i] = static_cast<std::uint16_t>(0x0C00 + i);
  for (int i = 0; i < 8; ++i) cached.block2[i] = static_cast<std::uint16_t>(0x0D00 + i);

  std::atomic<int> polled{0}, jobs{0};
  qxtest::capture_stdout([&] {
    std::thread controller([&] {
      for (int j = 0; j < kJobs; ++j) {
        while (polled.load() < 2 * j + 1) std::this_thread::yield();
        // The controller's thread holds the framework's lock around its call.
        std::lock_guard<std::recursive_mutex> lock(rig.framework.service_lock());
        if (j % 2 == 0) {
          int out_size = 0;
          rig.device->DeviceIoControl(QX7540PM::kControlRequest310, "{}", 2, nullptr, 0, out_size);
        } else {
          rig.device->LoadFromCache(reinterpret_cast<const unsigned char*>(&cached), sizeof cached);
        }
        jobs.store(j + 1);
      }
    });
    for (int r = 1; r <= kRounds; ++r) {
      while (jobs.load() < std::min(kJobs, r / 2 - 1)) std::this_thread::yield();
      rig.device->RefreshStatus();
      polled.store(r);
    }
    controller.join();
  });
  rig.framework.set_link(nullptr);

  const qxsim::Profile profile;
  const auto is_sim_round = [&](const QX7540PM_Data_t& record) {
    for (long n = 1; n <= 2 * kRounds; ++n) {
      const qxsim::RegisterImage image = profile.image_for_round(n, {});
      bool same = true;
      for (int reg = 0; reg < 32 && same; ++reg) same = record.block1[reg] == image[reg];
      for (int reg = 33; reg <= 40 && same; ++reg) same = record.block2[reg - 33] == image[reg];
      if (same) return true;
    }
    return false;
  };
  const auto sends = rig.framework.calls_of(zelfw::Op::kSendSP);
  const auto stores = rig.framework.calls_of(zelfw::Op::kSaveDeviceHistory);
  ASSERT_EQ(sends.size(), stores.size());
  int cached_rounds = 0;
  for (std::size_t i = 0; i < sends.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sends[i].bytes, stores[i].bytes);
    QX7540PM_Data_t record;
    ASSERT_EQ(sends[i].bytes.size(), sizeof record);
    std::memcpy(&record, sends[i].bytes.data(), sizeof record);
    if (std::memcmp(record.block1, cached.block1, sizeof cached.block1) == 0 &&
        std::memcmp(record.block2, cached.block2, sizeof cached.block2) == 0) {
      ++cached_rounds;
    } else {
      EXPECT_TRUE(is_sim_round(record)) << "a published record mixes rounds";
    }
  }
  EXPECT_EQ(cached_rounds, kJobs / 2);
  // A control request abandons at most the round it met, a cache load none,
  // and a failed exchange (a slow machine's timeout) at most its own.
  EXPECT_GE(static_cast<int>(sends.size()) - cached_rounds,
            kRounds - (kJobs + 1) / 2 - line.link.counts().failed());
}

TEST(Link, WireMinimumOfARoundAt9600Baud8N1) {
  zelfw::LinkSettings s;
  // 8 + 69 and 8 + 21 bytes of ten bits, and a 3.5-character silence after each frame.
  EXPECT_DOUBLE_EQ(zelfw::rtu_exchange_minimum_ms(s, 32) + zelfw::rtu_exchange_minimum_ms(s, 8),
                   (106 + 4 * 3.5) * 10 * 1000 / 9600.0);
  s.parity = 'E';
  EXPECT_DOUBLE_EQ(zelfw::rtu_exchange_minimum_ms(s, 8), (8 + 21 + 2 * 3.5) * 11 * 1000 / 9600.0);
}

}  // namespace
