// The JSON snapshot (codes 801 and 803): its text, its values, and when it is rebuilt.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "plugin.h"

namespace {

using boost::gregorian::date;
using boost::posix_time::hours;
using boost::posix_time::minutes;
using boost::posix_time::ptime;
using boost::posix_time::seconds;

const ptime kKnownStamp(date(2026, boost::gregorian::Dec, 7), hours(9) + minutes(5) + seconds(3));

// Registers 0..31, distinct words so that a key read from the wrong register shows.
const std::vector<std::uint16_t> kKnownBlock1 = {
    2201,  3811, 1234, 3,    4321, 65535, 555,  4500, 65535, 3800, 1500,
    11,    2000, 9876, 321,  2100, 2199,  3799, 10,   19,    0,    10000,
    65535, 1,    3802, 2200, 1001, 46811, 7654, 9999, 888,   12345};
// Registers 33..40; 37..40 are kept in the record but never rendered.
const std::vector<std::uint16_t> kKnownBlock2 = {65535, 0, 123, 40000, 7777, 8888, 9999, 1111};

// The 801 text for the known record, as jsoncpp's compact writer prints it:
// members sorted by the bytes of their UTF-8 keys, every non-ASCII character
// of a key written as a JSON unicode escape (backslash, u, four hex digits),
// reals with up to 17 significant digits. Each number is the double nearest
// the single-precision quotient, e.g. 2201 / 10 -> 220.100006103515625 ->
// "220.10000610351562"; the frequency 46811 / 936.2156291837135 is 50.00023343.
const char kKnownText[] =
    "{\"A\\u76f8\\u529f\\u7387\\u56e0\\u6570\":6.5535001754760742,"
    "\"A\\u76f8\\u65e0\\u529f\\u529f\\u7387\":0.55500000715255737,"
    "\"A\\u76f8\\u6709\\u529f\\u529f\\u7387\":4.3210000991821289,"
    "\"A\\u76f8\\u7535\\u6d41\":1.2339999675750732,"
    "\"A\\u76f8\\u89c6\\u5728\\u529f\\u7387\":4.5,"
    "\"B\\u76f8\\u529f\\u7387\\u56e0\\u6570\":0.98760002851486206,"
    "\"B\\u76f8\\u65e0\\u529f\\u529f\\u7387\":0.32100000977516174,"
    "\"B\\u76f8\\u6709\\u529f\\u529f\\u7387\":2.0,\"B\\u76f8\\u7535\\u6d41\":1.5,"
    "\"B\\u76f8\\u89c6\\u5728\\u529f\\u7387\":2.0999999046325684,"
    "\"C\\u76f8\\u529f\\u7387\\u56e0\\u6570\":1.0,"
    "\"C\\u76f8\\u65e0\\u529f\\u529f\\u7387\":65.535003662109375,"
    "\"C\\u76f8\\u6709\\u529f\\u529f\\u7387\":0.0,"
    "\"C\\u76f8\\u7535\\u6d41\":0.0099999997764825821,"
    "\"C\\u76f8\\u89c6\\u5728\\u529f\\u7387\":0.0010000000474974513,\"DI\":3.0,\"DO\":11.0,"
    "\"\\u4e09\\u76f8\\u5e73\\u5747\\u76f8\\u7535\\u538b\":220.0,"
    "\"\\u4e09\\u76f8\\u5e73\\u5747\\u76f8\\u7535\\u6d41\":1.0010000467300415,"
    "\"\\u4e09\\u76f8\\u5e73\\u5747\\u7ebf\\u7535\\u538b\":380.20001220703125,"
    "\"\\u4e09\\u76f8\\u603b\\u529f\\u7387\\u56e0\\u6570\":0.99989998340606689,"
    "\"\\u4e09\\u76f8\\u65e0\\u529f\\u529f\\u7387\":0.8880000114440918,"
    "\"\\u4e09\\u76f8\\u6709\\u529f\\u529f\\u7387\":7.6539998054504395,"
    "\"\\u4e09\\u76f8\\u89c6\\u5728\\u529f\\u7387\":12.345000267028809,"
    "\"\\u65e0\\u6548\":19.0,\"\\u66f4\\u65b0\\u65f6\\u95f4\":\"2026-12-7 9:5:3\","
    "\"\\u6b63\\u5411\\u65e0\\u529f\\u7535\\u80fd\":123.0,"
    "\"\\u6b63\\u5411\\u6709\\u529f\\u7535\\u80fd\":65535.0,"
    "\"\\u76f8\\u7535\\u538bUa\":220.10000610351562,\"\\u76f8\\u7535\\u538bUb\":6553.5,"
    "\"\\u76f8\\u7535\\u538bUc\":219.89999389648438,\"\\u7ebf\\u7535\\u538bUab\":380.0,"
    "\"\\u7ebf\\u7535\\u538bUbc\":379.89999389648438,"
    "\"\\u7ebf\\u7535\\u538bUca\":381.10000610351562,"
    "\"\\u8d1f\\u5411\\u65e0\\u529f\\u7535\\u80fd\":40000.0,"
    "\"\\u8d1f\\u5411\\u6709\\u529f\\u7535\\u80fd\":0.0,"
    "\"\\u9891\\u7387\":50.000233430000002}\n";

// RoundDone stamps both the record and last_update with the wall clock, which
// a test cannot choose. To render a chosen time the test writes the completed
// copy's stamp and a matching last_update itself (both are public members), as
// a round completed at that time would have left them.
void set_completed_stamp(QX7540PM& device, const ptime& t) {
  std::lock_guard<std::mutex> lock(device.snapshot_mutex);
  const ttime_t stamp = get_ttime(t);
  std::memcpy(&device.completed_data.year, &stamp, sizeof stamp);
  device.last_update = t;
}

Json::Value parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
    ADD_FAILURE() << "snapshot text does not parse: " << errors << "\n" << text;
  }
  return root;
}

const Json::Value* snapshot_address(QX7540PM& device) {
  const Json::Value* address = nullptr;
  int size = 0;
  EXPECT_EQ(device.DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0, &address,
                                   static_cast<int>(sizeof address), size),
            0);
  return address;
}

struct KnownRecord : ::testing::Test {
  qxtest::Rig rig;
  void SetUp() override {
    rig.complete_round(kKnownBlock1, kKnownBlock2);
    set_completed_stamp(*rig.device, kKnownStamp);
  }
};

TEST_F(KnownRecord, TextIsExactlyTheCompactWritersOutput) {
  EXPECT_EQ(qxtest::snapshot_text(*rig.device), kKnownText);
}

// One row per key, from the meter's register map: 0 means unscaled, and the
// frequency is divided in double precision.
struct KeyRow {
  const char* key;
  int reg;
  float divisor;
  bool frequency;
};

const KeyRow kKeyRows[] = {
    {"相电压Ua", 0, 10, false},          {"线电压Uca", 1, 10, false},
    {"A相电流", 2, 1000, false},         {"DI", 3, 0, false},
    {"A相有功功率", 4, 1000, false},     {"A相功率因数", 5, 10000, false},
    {"A相无功功率", 6, 1000, false},     {"A相视在功率", 7, 1000, false},
    {"相电压Ub", 8, 10, false},          {"线电压Uab", 9, 10, false},
    {"B相电流", 10, 1000, false},        {"DO", 11, 0, false},
    {"B相有功功率", 12, 1000, false},    {"B相功率因数", 13, 10000, false},
    {"B相无功功率", 14, 1000, false},    {"B相视在功率", 15, 1000, false},
    {"相电压Uc", 16, 10, false},         {"线电压Ubc", 17, 10, false},
    {"C相电流", 18, 1000, false},        {"无效", 19, 0, false},
    {"C相有功功率", 20, 1000, false},    {"C相功率因数", 21, 10000, false},
    {"C相无功功率", 22, 1000, false},    {"C相视在功率", 23, 1000, false},
    {"三相平均线电压", 24, 10, false},   {"三相平均相电压", 25, 10, false},
    {"三相平均相电流", 26, 1000, false}, {"频率", 27, 0, true},
    {"三相有功功率", 28, 1000, false},   {"三相总功率因数", 29, 10000, false},
    {"三相无功功率", 30, 1000, false},   {"三相视在功率", 31, 1000, false},
    {"正向有功电能", 33, 0, false},      {"负向有功电能", 34, 0, false},
    {"正向无功电能", 35, 0, false},      {"负向无功电能", 36, 0, false},
};

double expected_value(const KeyRow& row, std::uint16_t word) {
  const float value = word;
  if (row.frequency) return static_cast<double>(value) / 936.2156291837135;
  if (row.divisor == 0) return value;
  const float quotient = value / row.divisor;
  return quotient;
}

std::uint16_t known_word(int reg) {
  return reg < 32 ? kKnownBlock1[static_cast<std::size_t>(reg)]
                  : kKnownBlock2[static_cast<std::size_t>(reg - 33)];
}

TEST_F(KnownRecord, EveryKeyHoldsItsRegisterScaledAsAReal) {
  const Json::Value root = parse(qxtest::snapshot_text(*rig.device));
  ASSERT_TRUE(root.isObject());
  EXPECT_EQ(root.size(), 37u);
  for (const KeyRow& row : kKeyRows) {
    SCOPED_TRACE(row.key);
    ASSERT_TRUE(root.isMember(row.key));
    const Json::Value& value = root[row.key];
    EXPECT_EQ(value.type(), Json::realValue);
    EXPECT_EQ(value.asDouble(), expected_value(row, known_word(row.reg)));
  }
  ASSERT_TRUE(root.isMember("更新时间"));
  EXPECT_EQ(root["更新时间"], Json::Value("2026-12-7 9:5:3"));
}

TEST_F(KnownRecord, AddressGivesTheSameValueAsTheText) {
  const Json::Value* address = snapshot_address(*rig.device);
  ASSERT_EQ(address, &rig.device->snapshot);
  EXPECT_EQ(*address, parse(qxtest::snapshot_text(*rig.device)));
  // The same object on every call, rebuilt in place by later rounds.
  rig.complete_round(std::vector<std::uint16_t>(32, 7), std::vector<std::uint16_t>(8, 7));
  set_completed_stamp(*rig.device, kKnownStamp + seconds(1));
  EXPECT_EQ(snapshot_address(*rig.device), address);
  EXPECT_EQ((*address)["DI"].asDouble(), 7.0);
}

// Single registers at the edges of their scales, each on a fresh device.
struct ConversionCase {
  int reg;
  std::uint16_t word;
  const char* key;
  double expected;
  double tolerance;  // 0: exact
};

const ConversionCase kConversions[] = {
    {0, 2201, "相电压Ua", 220.100006103515625, 0},
    {0, 65535, "相电压Ua", 6553.5, 0},
    {5, 65535, "A相功率因数", 6.55350017547607421875, 0},
    {2, 65535, "A相电流", 65.535003662109375, 0},
    {3, 65535, "DI", 65535.0, 0},
    {27, 46811, "频率", 50.00023, 5e-6},
    {27, 65535, "频率", 69.9999, 5e-5},
    {36, 65535, "负向无功电能", 65535.0, 0},
};

TEST(SnapshotConversion, EdgeWordsRenderAsUnsignedWithTheirScale) {
  for (const ConversionCase& c : kConversions) {
    SCOPED_TRACE(std::string(c.key) + " = " + std::to_string(c.word));
    qxtest::Rig rig;
    std::vector<std::uint16_t> block1(32, 0);
    std::vector<std::uint16_t> block2(8, 0);
    if (c.reg < 32) {
      block1[static_cast<std::size_t>(c.reg)] = c.word;
    } else {
      block2[static_cast<std::size_t>(c.reg - 33)] = c.word;
    }
    rig.complete_round(block1, block2);
    const Json::Value value = parse(qxtest::snapshot_text(*rig.device))[c.key];
    EXPECT_EQ(value.type(), Json::realValue);
    if (c.tolerance == 0) {
      EXPECT_EQ(value.asDouble(), c.expected);
    } else {
      EXPECT_NEAR(value.asDouble(), c.expected, c.tolerance);
    }
  }
}

// The stamp's bytes are written as unpadded decimal numbers, never as characters.
struct StampCase {
  ttime_t stamp;
  const char* text;
};

const StampCase kStamps[] = {
    {{2026, 12, 7, 9, 5, 3}, "2026-12-7 9:5:3"},
    {{1999, 1, 1, 0, 0, 0}, "1999-1-1 0:0:0"},
    {{2038, 10, 31, 23, 59, 59}, "2038-10-31 23:59:59"},
    {{65535, 255, 255, 255, 255, 255}, "65535-255-255 255:255:255"},
};

TEST(SnapshotTime, StampRendersUnpadded) {
  qxtest::Rig rig;
  ptime update = kKnownStamp;
  for (const StampCase& c : kStamps) {
    SCOPED_TRACE(c.text);
    {
      std::lock_guard<std::mutex> lock(rig.device->snapshot_mutex);
      std::memcpy(&rig.device->completed_data.year, &c.stamp, sizeof c.stamp);
      update += seconds(1);  // a new last_update, so the snapshot is rebuilt
      rig.device->last_update = update;
    }
    EXPECT_EQ(parse(qxtest::snapshot_text(*rig.device))["更新时间"], Json::Value(c.text));
  }
}

TEST(SnapshotRefresh, NullUntilTheFirstRound) {
  qxtest::Rig rig;
  ASSERT_TRUE(rig.device->last_update.is_not_a_date_time());
  EXPECT_EQ(qxtest::snapshot_text(*rig.device), "null\n");
  EXPECT_TRUE(snapshot_address(*rig.device)->isNull());
  EXPECT_TRUE(rig.device->snapshot_time.is_not_a_date_time());
}

TEST(SnapshotRefresh, SetLastUpdateWithoutARoundRendersTheZeroRecord) {
  qxtest::Rig rig;
  rig.device->last_update = kKnownStamp;
  const Json::Value root = parse(qxtest::snapshot_text(*rig.device));
  ASSERT_EQ(root.size(), 37u);
  for (const KeyRow& row : kKeyRows) {
    EXPECT_EQ(root[row.key], Json::Value(0.0)) << row.key;
    EXPECT_EQ(root[row.key].type(), Json::realValue) << row.key;
  }
  EXPECT_EQ(root["更新时间"], Json::Value("0-0-0 0:0:0"));
}

TEST(SnapshotRefresh, RebuiltOncePerDistinctLastUpdate) {
  qxtest::Rig rig;
  QX7540PM& device = *rig.device;
  rig.complete_round(kKnownBlock1, kKnownBlock2);
  const ptime first_update = device.last_update;
  const std::string first_text = qxtest::snapshot_text(device);
  EXPECT_EQ(device.snapshot_time, first_update);

  // A changed record under the same last_update is not rendered again.
  device.completed_data.block1[0] = 1;
  EXPECT_EQ(qxtest::snapshot_text(device), first_text);

  // A second round within the same second leaves last_update as it was.
  rig.complete_round(std::vector<std::uint16_t>(32, 5), std::vector<std::uint16_t>(8, 5));
  device.last_update = first_update;
  EXPECT_EQ(qxtest::snapshot_text(device), first_text);
  EXPECT_EQ((*snapshot_address(device))["DI"].asDouble(), 3.0);

  // A later last_update shows the last completed round.
  device.last_update = first_update + seconds(1);
  EXPECT_EQ(parse(qxtest::snapshot_text(device))["DI"].asDouble(), 5.0);
  EXPECT_EQ(device.snapshot_time, first_update + seconds(1));
}

// The text 801 copies out is the compact writer's text of the value 803 hands
// out, for every record and whichever request renders a round first; between
// rounds it stays the same, and it changes exactly when a round is rendered.
TEST(SnapshotRefresh, TextIsTheWritersTextOfTheValueBehindTheAddress) {
  struct Case {
    const char* name;
    std::vector<std::uint16_t> block1;
    std::vector<std::uint16_t> block2;
    bool same_second;    // last_update stays as it was: nothing is rendered
    bool address_first;  // 803 renders the round before any 801
  };
  const std::vector<std::uint16_t> all_ones(32, 65535);
  const Case cases[] = {
      {"known record", kKnownBlock1, kKnownBlock2, false, false},
      {"65535 in every register", all_ones, std::vector<std::uint16_t>(8, 65535), false, false},
      {"zeros, rendered by 803", std::vector<std::uint16_t>(32, 0),
       std::vector<std::uint16_t>(8, 0), false, true},
      {"a second round in the same second", kKnownBlock1, kKnownBlock2, true, false},
      {"known record again, rendered by 803", kKnownBlock1, kKnownBlock2, false, true},
      {"same second, 803 first", all_ones, std::vector<std::uint16_t>(8, 1), true, true},
  };
  qxtest::Rig rig;
  QX7540PM& device = *rig.device;
  ptime update = kKnownStamp;
  std::string previous = qxtest::snapshot_text(device);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig.complete_round(c.block1, c.block2);
    if (c.same_second) {
      std::lock_guard<std::mutex> lock(device.snapshot_mutex);
      device.last_update = update;
    } else {
      update += seconds(1);
      set_completed_stamp(device, update);
    }
    const Json::Value* address = c.address_first ? snapshot_address(device) : nullptr;
    const std::string text = qxtest::snapshot_text(device);
    EXPECT_EQ(qxtest::snapshot_text(device), text);
    if (address == nullptr) address = snapshot_address(device);
    std::string written;
    {
      std::lock_guard<std::mutex> lock(device.snapshot_mutex);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
      written = Json::FastWriter().write(*address);
#pragma GCC diagnostic pop
    }
    EXPECT_EQ(text, written);
    EXPECT_EQ(text != previous, !c.same_second);
    previous = text;
  }
}

TEST(SnapshotRefresh, FirstBlockOfAnUnfinishedRoundIsNotRendered) {
  qxtest::Rig rig;
  QX7540PM& device = *rig.device;
  rig.complete_round(kKnownBlock1, kKnownBlock2);
  // Move the first round's stamp into the past so the next round's differs.
  set_completed_stamp(device, kKnownStamp);

  // Round two stops after its first block; the snapshot is first asked for now.
  const std::vector<std::uint16_t> next(32, 42);
  device.RefreshStatus();
  zelfw::deliver_reply(device, next.data(), static_cast<int>(next.size()));
  ASSERT_EQ(device.raw_data.block1[0], 42);
  EXPECT_EQ(qxtest::snapshot_text(device), kKnownText);

  // Its second block completes it, and the next request renders it whole.
  const std::vector<std::uint16_t> second(8, 43);
  zelfw::deliver_reply(device, second.data(), static_cast<int>(second.size()));
  const Json::Value root = parse(qxtest::snapshot_text(device));
  EXPECT_EQ(root["DI"].asDouble(), 42.0);
  EXPECT_EQ(root["正向有功电能"].asDouble(), 43.0);
}

TEST(SnapshotRefresh, CacheLoadIsRenderedLikeARound) {
  qxtest::Rig rig;
  QX7540PM_Data_t cached{};
  cached.device_data_id = QX7540PM_DATA_ID;
  cached.block1[3] = 1234;  // DI
  cached.block2[1] = 4321;  // reverse active energy
  ASSERT_EQ(rig.device->LoadFromCache(reinterpret_cast<const unsigned char*>(&cached),
                                      static_cast<int>(sizeof cached)),
            1);
  const Json::Value root = parse(qxtest::snapshot_text(*rig.device));
  EXPECT_EQ(root["DI"].asDouble(), 1234.0);
  EXPECT_EQ(root["负向有功电能"].asDouble(), 4321.0);
  EXPECT_NE(root["更新时间"].asString(), "0-0-0 0:0:0");
}

}  // namespace
