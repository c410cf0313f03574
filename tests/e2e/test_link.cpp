// The stand-in framework's libmodbus link against the simulated meter, in
// process: a device from the loaded plug-in, polled over a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e.h"
#include "plugin.h"
#include "qxsim/faults.h"
#include "qxsim/meter_sim.h"
#include "zelfw/modbus_link.h"

namespace {

constexpr int kTimeoutMs = 400;

zelfw::Failure failure_named(const std::string& name) {
  for (int i = 0; i < static_cast<int>(zelfw::Failure::kCount); ++i) {
    if (name == zelfw::failure_name(static_cast<zelfw::Failure>(i))) {
      return static_cast<zelfw::Failure>(i);
    }
  }
  return zelfw::Failure::kCount;
}

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
  rig.framework.set_link(&line.link);

  rig.device->RefreshStatus();
  EXPECT_TRUE(rig.framework.calls_of(zelfw::Op::kSendSP).empty());
  EXPECT_EQ(rig.framework.calls_of(zelfw::Op::kReadRegisters).size(), 1u);
  const zelfw::LinkCounts counts = line.link.counts();
  EXPECT_EQ(counts.failed(), 1);
  EXPECT_EQ(counts.of(failure_named(info.failure)), 1) << info.name;
  EXPECT_EQ(line.link.last_failure().kind, failure_named(info.failure));
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
  rig.framework.set_link(&link);
  rig.device->RefreshStatus();
  EXPECT_EQ(link.counts().of(zelfw::Failure::kTimeout), 1);
  rig.framework.set_link(nullptr);
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
