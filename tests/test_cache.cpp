// Restoring a cached record: what is accepted, what a rejected load leaves
// alone, and the round an accepted load republishes.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture.h"
#include "plugin.h"

namespace {

using zelfw::Op;

// A recognisable cached record: identifier 0x11223344, phase A at 119.99 V on
// the alarm's scale, zero bytes in places, and a stamp from 2001.
std::vector<unsigned char> cached_record() {
  std::vector<unsigned char> rec(91);
  for (std::size_t i = 0; i < rec.size(); ++i)
    rec[i] = static_cast<unsigned char>(i % 7 == 0 ? 0 : i);
  const std::int32_t id = 0x11223344;
  std::memcpy(rec.data(), &id, sizeof id);
  const std::uint16_t ua = 11999, ub = 22000, uc = 0;
  std::memcpy(rec.data() + 4, &ua, 2);
  std::memcpy(rec.data() + 20, &ub, 2);
  std::memcpy(rec.data() + 36, &uc, 2);
  const ttime_t old{2001, 2, 3, 4, 5, 6};
  std::memcpy(rec.data() + 84, &old, sizeof old);
  return rec;
}

std::string query(const QX7540PM& device) {
  try {
    device.Get_Value(0, "相电压Ua");
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "returned a value";
}

TEST(Cache, RejectedLoadsChangeNothing) {
  std::vector<unsigned char> buffer(400, 0x5A);
  struct Row {
    const unsigned char* data;
    int size;
  };
  const Row rows[] = {{buffer.data(), 90},
                      {buffer.data(), 92},
                      {buffer.data(), 0},
                      {buffer.data(), -91},
                      {buffer.data(), INT_MIN},
                      {buffer.data(), 182},
                      {nullptr, 91},
                      {nullptr, 0},
                      {nullptr, -1}};
  for (const Row& row : rows) {
    qxtest::Rig rig;
    const auto before = qxtest::record_bytes(*rig.device);
    int result = -1;
    const std::string out =
        qxtest::capture_stdout([&] { result = rig.device->LoadFromCache(row.data, row.size); });
    const std::string where =
        std::string(row.data ? "data" : "null") + " size " + std::to_string(row.size);
    EXPECT_EQ(result, 0) << where;
    EXPECT_EQ(qxtest::record_bytes(*rig.device), before) << where;
    EXPECT_FALSE(rig.device->data_ready) << where;
    EXPECT_TRUE(rig.device->last_update.is_not_a_date_time()) << where;
    EXPECT_TRUE(rig.framework.calls().empty()) << where;
    EXPECT_EQ(out, "") << where;
    EXPECT_EQ(query(*rig.device), "数据未就绪") << where;
  }
}

TEST(Cache, AcceptedLoadIsRestampedRepublishedAndChecked) {
  qxtest::Rig rig;
  QX7540PM& dev = *rig.device;
  dev.data_id = 99;
  dev.has_a = 1;
  const auto cached = cached_record();

  int result = 0;
  const std::string out =
      qxtest::capture_stdout([&] { result = dev.LoadFromCache(cached.data(), 91); });

  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "rvSize is 0\n");
  EXPECT_TRUE(dev.data_ready);
  EXPECT_EQ(query(dev), "不支持变量");

  // Everything but the stamp is kept as cached, identifier included.
  const auto rec = qxtest::record_bytes(dev);
  EXPECT_EQ(std::vector<unsigned char>(rec.begin(), rec.begin() + 84),
            std::vector<unsigned char>(cached.begin(), cached.begin() + 84));
  const ttime_t now = get_ttime(dev.last_update);
  EXPECT_EQ(std::memcmp(rec.data() + 84, &now, sizeof now), 0);
  EXPECT_NE(+dev.raw_data.year, 2001);

  const auto sent = rig.framework.calls_of(Op::kSendSP);
  const auto saved = rig.framework.calls_of(Op::kSaveDeviceHistory);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(sent[0].ints, (std::vector<long long>{5156, 91, 0}));
  EXPECT_EQ(sent[0].bytes, rec);
  EXPECT_EQ(saved[0].bytes, rec);

  // The alarm check runs once, on the restored phase voltages.
  const auto alarms = rig.framework.calls_of(Op::kCheckThresholdBool);
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(alarms[0].texts.at(3), "输入电源中断 UA:119.989998 UB:220 UC:0");
  EXPECT_EQ(alarms[0].ints.at(1), 1);

  EXPECT_EQ(std::memcmp(&dev.completed_data, &dev.raw_data, 91), 0);
}

TEST(Cache, StringOverloadPassesEveryByteIncludingZeros) {
  const auto cached = cached_record();
  const std::string whole(reinterpret_cast<const char*>(cached.data()), cached.size());
  ASSERT_NE(whole.find('\0'), std::string::npos);

  qxtest::Rig by_string;
  qxtest::Rig by_pointer;
  qxtest::capture_stdout([&] {
    EXPECT_EQ(by_string.device->LoadFromCache(whole), 1);
    EXPECT_EQ(by_pointer.device->LoadFromCache(cached.data(), 91), 1);
  });
  auto a = qxtest::record_bytes(*by_string.device);
  auto b = qxtest::record_bytes(*by_pointer.device);
  // Stamps may differ by a clock tick between the two loads.
  EXPECT_EQ(std::vector<unsigned char>(a.begin(), a.begin() + 84),
            std::vector<unsigned char>(b.begin(), b.begin() + 84));

  for (std::size_t size : {std::size_t{0}, std::size_t{90}, std::size_t{92}}) {
    qxtest::Rig rig;
    std::string text(size, '\0');
    EXPECT_EQ(rig.device->LoadFromCache(text), 0) << size;
    EXPECT_TRUE(rig.framework.calls().empty()) << size;
  }
}

TEST(Cache, ReloadingTheDevicesOwnRecordKeepsIt) {
  qxtest::Rig rig;
  const auto cached = cached_record();
  qxtest::capture_stdout([&] {
    rig.device->LoadFromCache(cached.data(), 91);
    const auto* own = reinterpret_cast<const unsigned char*>(&rig.device->raw_data);
    EXPECT_EQ(rig.device->LoadFromCache(own, 91), 1);
  });
  const auto rec = qxtest::record_bytes(*rig.device);
  EXPECT_EQ(std::vector<unsigned char>(rec.begin(), rec.begin() + 84),
            std::vector<unsigned char>(cached.begin(), cached.begin() + 84));
  EXPECT_EQ(rig.framework.calls_of(Op::kSendSP).size(), 2u);
}

}  // namespace
