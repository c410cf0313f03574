// The poll step machine: which read each step issues, which record bytes each
// reply replaces, and what the framework is told back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "capture.h"
#include "plugin.h"

namespace {

using zelfw::Op;

constexpr std::size_t kBlock1Begin = 4, kBlock1End = 68;
constexpr std::size_t kBlock2Begin = 68, kBlock2End = 84;

std::vector<std::uint16_t> words(int count, std::uint16_t first) {
  std::vector<std::uint16_t> out;
  for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint16_t>(first + 0x0101 * i));
  return out;
}

std::vector<unsigned char> bytes_of(const std::vector<std::uint16_t>& w) {
  std::vector<unsigned char> out(w.size() * 2);
  std::memcpy(out.data(), w.data(), out.size());
  return out;
}

// A record whose every byte is known, so untouched ranges can be checked.
void fill_record(QX7540PM& device) {
  auto* p = reinterpret_cast<unsigned char*>(&device.raw_data);
  for (std::size_t i = 0; i < sizeof device.raw_data; ++i)
    p[i] = static_cast<unsigned char>(0xA0 ^ i);
}

// The bytes of `after` outside [begin, end) must equal those of `before`.
void expect_same_outside(const std::vector<unsigned char>& before,
                         const std::vector<unsigned char>& after, std::size_t begin,
                         std::size_t end) {
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (i >= begin && i < end) continue;
    EXPECT_EQ(before[i], after[i]) << "record byte " << i;
  }
}

TEST(Polling, RefreshStatusStartsAtStepElevenWithOneReadFromAnyStep) {
  for (int step : {0, 11, 12, 310, 320, -7}) {
    qxtest::Rig rig;
    rig.device->poll_step = step;
    EXPECT_TRUE(rig.device->RefreshStatus());
    EXPECT_EQ(rig.device->poll_step, 11) << "from step " << step;
    const auto calls = rig.framework.calls();
    ASSERT_EQ(calls.size(), 2u) << "from step " << step;
    EXPECT_EQ(calls[0].op, Op::kRefreshStatus);
    EXPECT_EQ(calls[1].op, Op::kReadRegisters);
    EXPECT_EQ(calls[1].ints, (std::vector<long long>{0, 32}));
  }
}

TEST(Polling, StepElevenStoresBlockOneAndAsksForBlockTwo) {
  qxtest::Rig rig;
  fill_record(*rig.device);
  rig.device->RefreshStatus();
  rig.framework.clear_calls();
  const auto before = qxtest::record_bytes(*rig.device);
  const auto reply = words(32, 0x1234);

  EXPECT_TRUE(zelfw::deliver_reply(*rig.device, reply.data(), 32));

  const auto after = qxtest::record_bytes(*rig.device);
  // Native words as they stand: no byte or word swap.
  EXPECT_EQ(std::vector<unsigned char>(after.begin() + kBlock1Begin, after.begin() + kBlock1End),
            bytes_of(reply));
  expect_same_outside(before, after, kBlock1Begin, kBlock1End);
  EXPECT_EQ(rig.device->poll_step, 12);
  const auto calls = rig.framework.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, Op::kReadRegisters);
  EXPECT_EQ(calls[0].ints, (std::vector<long long>{33, 8}));
}

TEST(Polling, StepTwelveStoresBlockTwoAndCompletesTheRoundEachTime) {
  qxtest::Rig rig;
  fill_record(*rig.device);
  rig.device->RefreshStatus();
  const auto first = words(32, 0x0100);
  zelfw::deliver_reply(*rig.device, first.data(), 32);
  rig.framework.clear_calls();

  for (std::uint16_t seed : {0x5A00, 0x7700}) {
    const auto before = qxtest::record_bytes(*rig.device);
    const auto reply = words(8, seed);
    EXPECT_FALSE(zelfw::deliver_reply(*rig.device, reply.data(), 8));
    const auto after = qxtest::record_bytes(*rig.device);
    EXPECT_EQ(std::vector<unsigned char>(after.begin() + kBlock2Begin, after.begin() + kBlock2End),
              bytes_of(reply));
    // Only block 2 and the round's time stamp change.
    expect_same_outside(before, after, kBlock2Begin, 91);
    EXPECT_EQ(rig.device->poll_step, 12);
  }
  // A second reply before the next RefreshStatus completes a second round.
  EXPECT_EQ(rig.framework.calls_of(Op::kSendSP).size(), 2u);
  EXPECT_EQ(rig.framework.calls_of(Op::kSaveDeviceHistory).size(), 2u);
  EXPECT_TRUE(rig.framework.calls_of(Op::kReadRegisters).empty());
}

// A cached record handed back between the two replies of a round is published
// as a round of its own; the polled round, when its second reply comes,
// completes and is published with its own two blocks. No record published is
// part cache, part meter.
TEST(Polling, CacheLoadBetweenTheRepliesIsARoundOfItsOwn) {
  qxtest::Rig rig;
  fill_record(*rig.device);
  const auto header = qxtest::record_bytes(*rig.device);
  rig.device->RefreshStatus();
  const auto first = words(32, 0x0100);
  zelfw::deliver_reply(*rig.device, first.data(), 32);
  const std::vector<unsigned char> cached(91, 0x3C);
  qxtest::capture_stdout([&] { EXPECT_EQ(rig.device->LoadFromCache(cached.data(), 91), 1); });

  const auto second = words(8, 0x5A00);
  qxtest::capture_stdout(
      [&] { EXPECT_FALSE(zelfw::deliver_reply(*rig.device, second.data(), 8)); });

  const auto published = rig.framework.calls_of(Op::kSendSP);
  const auto stored = rig.framework.calls_of(Op::kSaveDeviceHistory);
  ASSERT_EQ(published.size(), 2u);
  ASSERT_EQ(stored.size(), 2u);
  // First the cached record, restamped.
  expect_same_outside(cached, published[0].bytes, 84, 91);
  // Then the polled round: the device's own identifier, its two blocks.
  const auto& polled = published[1].bytes;
  expect_same_outside(header, polled, kBlock1Begin, 91);
  const auto block1 = bytes_of(first), block2 = bytes_of(second);
  EXPECT_TRUE(std::equal(block1.begin(), block1.end(), polled.begin() + kBlock1Begin));
  EXPECT_TRUE(std::equal(block2.begin(), block2.end(), polled.begin() + kBlock2Begin));
  EXPECT_EQ(stored[0].bytes, published[0].bytes);
  EXPECT_EQ(stored[1].bytes, published[1].bytes);
  // Outside a round a cache load takes the record whole, as before.
  qxtest::capture_stdout([&] { EXPECT_EQ(rig.device->LoadFromCache(cached.data(), 91), 1); });
  expect_same_outside(cached, qxtest::record_bytes(*rig.device), 84, 91);
}

TEST(Polling, RepliesOutsideARoundChangeNothing) {
  for (int step : {0, 310, 320, 13, 10, -1}) {
    qxtest::Rig rig;
    fill_record(*rig.device);
    rig.device->poll_step = step;
    const auto before = qxtest::record_bytes(*rig.device);
    const auto reply = words(32, 0x4242);
    EXPECT_TRUE(zelfw::deliver_reply(*rig.device, reply.data(), 32)) << "step " << step;
    EXPECT_EQ(qxtest::record_bytes(*rig.device), before) << "step " << step;
    EXPECT_EQ(rig.device->poll_step, step);
    EXPECT_TRUE(rig.framework.calls().empty()) << "step " << step;
    EXPECT_FALSE(rig.device->data_ready);
  }
}

TEST(Polling, TableKindAndLengthAreIgnored) {
  struct Row {
    SPModbus::tab_type table;
    unsigned int length;
  };
  const Row rows[] = {{SPModbus::TAB_HOLDING, 0},
                      {SPModbus::TAB_COILS, 1},
                      {SPModbus::TAB_INPUT, 125},
                      {SPModbus::TAB_DISCRETE_INPUTS, 0xFFFFFFFFu}};
  for (const Row& row : rows) {
    qxtest::Rig rig;
    const auto block1 = words(32, 0x0A0B);
    const auto block2 = words(8, 0x0C0D);
    rig.device->RefreshStatus();
    std::memcpy(rig.device->reg_buffer, block1.data(), 64);
    EXPECT_TRUE(rig.device->process_payload(row.table, row.length));
    std::memcpy(rig.device->reg_buffer, block2.data(), 16);
    EXPECT_FALSE(rig.device->process_payload(row.table, row.length));
    const auto rec = qxtest::record_bytes(*rig.device);
    EXPECT_EQ(std::vector<unsigned char>(rec.begin() + kBlock1Begin, rec.begin() + kBlock1End),
              bytes_of(block1))
        << "length " << row.length;
    EXPECT_EQ(std::vector<unsigned char>(rec.begin() + kBlock2Begin, rec.begin() + kBlock2End),
              bytes_of(block2))
        << "length " << row.length;
  }
}

TEST(Polling, ErrorPrintsOneLineAndLeavesTheRoundWhereItWas) {
  qxtest::Rig rig;
  fill_record(*rig.device);
  rig.device->RefreshStatus();
  rig.framework.clear_calls();
  const auto before = qxtest::record_bytes(*rig.device);

  bool result = true;
  const std::string out =
      qxtest::capture_stdout([&] { result = zelfw::deliver_error(*rig.device); });
  EXPECT_EQ(out, "SPModbus get error\n");
  EXPECT_FALSE(result);
  EXPECT_EQ(rig.device->poll_step, 11);
  EXPECT_EQ(qxtest::record_bytes(*rig.device), before);
  EXPECT_TRUE(rig.framework.calls().empty());

  // The step is unchanged, so a late reply is still taken as block 1.
  const auto reply = words(32, 0x3300);
  EXPECT_TRUE(zelfw::deliver_reply(*rig.device, reply.data(), 32));
  EXPECT_EQ(rig.device->poll_step, 12);
}

// A meter that answers inside the request call, from registers r -> 1000 + r
// (register 32 reads 0xDEAD). A device that stores its step only after the
// request would take the second reply for the first and ask again: the depth
// guard turns that endless recursion into a failure.
class ImmediateMeter : public zelfw::ModbusLink {
 public:
  void read_registers(SPModbus& device, int start, int count) override {
    requests.push_back({start, count});
    if (depth_ >= 2) {
      ADD_FAILURE() << "request issued from inside the reply to the second read";
      return;
    }
    std::vector<std::uint16_t> reply;
    for (int r = start; r < start + count; ++r) {
      reply.push_back(r == 32 ? 0xDEAD : static_cast<std::uint16_t>(1000 + r));
    }
    ++depth_;
    zelfw::deliver_reply(device, reply.data(), count);
    --depth_;
  }
  std::vector<std::pair<int, int>> requests;

 private:
  int depth_ = 0;
};

TEST(Polling, ImmediateRepliesCompleteARoundWithoutRegister32) {
  qxtest::Rig rig;
  ImmediateMeter meter;
  rig.framework.set_link(&meter);

  EXPECT_EQ(qxtest::capture_stdout([&] { EXPECT_TRUE(rig.device->RefreshStatus()); }),
            "rvSize is 0\n");

  EXPECT_EQ(meter.requests, (std::vector<std::pair<int, int>>{{0, 32}, {33, 8}}));
  EXPECT_TRUE(rig.device->data_ready);
  const QX7540PM_Data_t& rec = rig.device->raw_data;
  for (int i = 0; i < 32; ++i) EXPECT_EQ(rec.block1[i], 1000 + i) << "register " << i;
  for (int j = 0; j < 8; ++j) EXPECT_EQ(rec.block2[j], 1033 + j) << "register " << 33 + j;
  const auto sent = rig.framework.calls_of(Op::kSendSP);
  ASSERT_EQ(sent.size(), 1u);
  for (std::size_t i = 0; i + 1 < sent[0].bytes.size(); ++i) {
    EXPECT_FALSE(sent[0].bytes[i] == 0xAD && sent[0].bytes[i + 1] == 0xDE) << "offset " << i;
  }
}

TEST(Polling, FailedSecondReadLeavesNewBlockOneBesideOldBlockTwo) {
  qxtest::Rig rig;
  zelfw::ImageLink meter;
  rig.framework.set_link(&meter);
  for (int r = 0; r <= 40; ++r) meter.registers()[r] = 1;
  rig.device->RefreshStatus();
  const auto completed = qxtest::record_bytes(*rig.device);

  for (int r = 0; r <= 40; ++r) meter.registers()[r] = 2;
  meter.fail_reads({4});
  rig.framework.clear_calls();
  const std::string out = qxtest::capture_stdout([&] { rig.device->RefreshStatus(); });

  EXPECT_EQ(out, "SPModbus get error\n");
  EXPECT_EQ(rig.device->raw_data.block1[0], 2);
  EXPECT_EQ(rig.device->raw_data.block2[0], 1);
  EXPECT_TRUE(rig.framework.calls_of(Op::kSendSP).empty());
  EXPECT_EQ(rig.device->poll_step, 12);
  const auto now = qxtest::record_bytes(*rig.device);
  expect_same_outside(completed, now, kBlock1Begin, kBlock1End);
}

}  // namespace
