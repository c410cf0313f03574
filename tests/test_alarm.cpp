// The input power interruption check that follows every round: its text, its
// state and when it reports at all.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"
#include "plugin.h"

namespace {

using zelfw::Op;

struct Phases {
  std::uint16_t a, b, c;
};

// Completes one round with the three phase-voltage registers set (0, 8, 16)
// and returns the alarm reports it made.
std::vector<zelfw::Call> alarm_reports(qxtest::Rig& rig, Phases p) {
  std::vector<std::uint16_t> block1(32, 0);
  block1[0] = p.a;
  block1[8] = p.b;
  block1[16] = p.c;
  qxtest::capture_stdout([&] { rig.complete_round(block1, std::vector<std::uint16_t>(8, 0)); });
  return rig.framework.calls_of(Op::kCheckThresholdBool);
}

TEST(Alarm, DescriptionShowsAllThreePhasesOverOneHundred) {
  struct Row {
    Phases phases;
    const char* text;
  };
  const Row rows[] = {
      {{22000, 23012, 0}, "输入电源中断 UA:220 UB:230.119995 UC:0"},
      {{11999, 12000, 65535}, "输入电源中断 UA:119.989998 UB:120 UC:655.349976"},
      {{1, 5, 100}, "输入电源中断 UA:0.00999999978 UB:0.0500000007 UC:1"},
  };
  for (const Row& row : rows) {
    qxtest::Rig rig;
    const auto reports = alarm_reports(rig, row.phases);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].texts,
              (std::vector<std::string>{"p41_44_0", "321415001", "输入电源中断", row.text}));
    // kind 1, no phase monitored by default so state false, level 1
    EXPECT_EQ(reports[0].ints, (std::vector<long long>{1, 0, 1}));
  }
}

TEST(Alarm, StateIsSetByAMonitoredPhaseBelowThreshold) {
  struct Row {
    int has_a, has_b, has_c;
    Phases phases;
    bool state;
  };
  const Row rows[] = {
      {0, 0, 0, {0, 0, 0}, false},          // nothing monitored
      {1, 0, 0, {11999, 0, 0}, true},       // 119.99 is below 120
      {1, 0, 0, {12000, 0, 0}, false},      // exactly 120 is not
      {0, 1, 0, {0, 22000, 0}, false},      // A and C low but unmonitored
      {0, 0, -1, {22000, 22000, 0}, true},  // -1 counts as monitored
      {0, 0, -1, {0, 0, 12000}, false},
      {1, 1, 0, {22000, 11999, 22000}, true},  // A fine, B low: B decides
      {1, 1, 1, {22000, 22000, 22000}, false},
      {7, 0, 0, {0, 22000, 22000}, true},
      {0, 1, 0, {0, 12000, 0}, false},  // B exactly at 120 is judged like A
      {0, 1, 0, {22000, 11999, 22000}, true},
      {-1, 0, 0, {11999, 22000, 22000}, true},  // -1 monitors A and B as it does C
      {0, -1, 0, {22000, 11999, 22000}, true},
  };
  for (const Row& row : rows) {
    qxtest::Rig rig;
    rig.device->has_a = row.has_a;
    rig.device->has_b = row.has_b;
    rig.device->has_c = row.has_c;
    const auto reports = alarm_reports(rig, row.phases);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].ints.at(1), row.state ? 1 : 0)
        << "has " << row.has_a << row.has_b << row.has_c << " phases " << row.phases.a << ' '
        << row.phases.b << ' ' << row.phases.c;
  }
}

TEST(Alarm, OnlyModeOneReports) {
  for (int mode : {0, 2, 3, 4, -1, 1000}) {
    qxtest::Rig rig;
    rig.device->mode = mode;
    rig.device->has_a = 1;
    EXPECT_TRUE(alarm_reports(rig, {0, 0, 0}).empty()) << "mode " << mode;
    // The rest of the round is unaffected.
    EXPECT_EQ(rig.framework.calls_of(Op::kSaveDeviceHistory).size(), 1u);
  }
}

TEST(Alarm, ReportsEveryRoundWhateverTheState) {
  qxtest::Rig rig;
  rig.device->has_b = 1;
  alarm_reports(rig, {0, 22000, 0});
  alarm_reports(rig, {0, 22000, 0});
  const auto reports = alarm_reports(rig, {0, 100, 0});
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].ints.at(1), 0);
  EXPECT_EQ(reports[1].ints.at(1), 0);
  EXPECT_EQ(reports[2].ints.at(1), 1);
}

}  // namespace
