// A new meter's defaults, and how InitSetting reads the appSetting block:
// leniently, key by key, saturating numbers that do not fit an int, and always
// handing the whole settings object on to the framework unless a key has no
// text form.
#include <gtest/gtest.h>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin.h"

namespace {

using zelfw::Op;

Json::Value parse(const std::string& text) {
  Json::Value root;
  Json::Reader reader;
  if (!reader.parse(text, root)) ADD_FAILURE() << "bad test JSON: " << text;
  return root;
}

struct Flags {
  int has_a;
  int has_b;
  int has_c;
  int mode;
};

void expect_flags(const QX7540PM& device, const Flags& want) {
  EXPECT_EQ(device.has_a, want.has_a);
  EXPECT_EQ(device.has_b, want.has_b);
  EXPECT_EQ(device.has_c, want.has_c);
  EXPECT_EQ(device.mode, want.mode);
}

constexpr Flags kDefaults{0, 0, 0, 1};

TEST(Settings, NewDeviceHoldsItsDefaults) {
  const qxtest::DevicePtr device = qxtest::make_device();
  EXPECT_EQ(device->DeviceType(), "qx7540pm");
  EXPECT_EQ(qxtest::record_bytes(*device), std::vector<unsigned char>(91, 0));
  const auto* completed = reinterpret_cast<const unsigned char*>(&device->completed_data);
  EXPECT_EQ(std::vector<unsigned char>(completed, completed + 91),
            std::vector<unsigned char>(91, 0));
  expect_flags(*device, kDefaults);
  EXPECT_EQ(device->control_status, -1);
  EXPECT_EQ(device->baud_rate, 9600);
  EXPECT_EQ(device->device_flag, 1);
  EXPECT_EQ(device->poll_step, 0);
  EXPECT_FALSE(device->data_ready);
  EXPECT_TRUE(device->last_update.is_not_a_date_time());
  EXPECT_TRUE(device->snapshot_time.is_not_a_date_time());
  EXPECT_TRUE(device->snapshot.isNull());
}

struct ParseRow {
  const char* name;
  const char* app_setting;  // JSON of the appSetting member
  Flags want;
};

TEST(Settings, AppSettingValuesAreReadLeniently) {
  // clang-format off
  const std::vector<ParseRow> rows = {
      {"number, numeric strings, no b_mode", R"({"has_a":1,"has_b":"1","has_c":"0"})", {1, 1, 0, 1}},
      {"true reads as the word true, so 0", R"({"has_a":true})", {0, 0, 0, 1}},
      {"false as well", R"({"has_a":false,"b_mode":false})", {0, 0, 0, 0}},
      {"real flag truncates", R"({"has_b":2.9})", {0, 2, 0, 1}},
      {"b_mode text 2.9", R"({"b_mode":"2.9"})", {0, 0, 0, 2}},
      {"b_mode text -1.5 toward zero", R"({"b_mode":"-1.5"})", {0, 0, 0, -1}},
      {"b_mode letters only", R"({"b_mode":"abc"})", {0, 0, 0, 0}},
      {"b_mode number", R"({"b_mode":3})", {0, 0, 0, 3}},
      {"b_mode real", R"({"b_mode":0.99})", {0, 0, 0, 0}},
      {"b_mode text in exponent form", R"({"b_mode":"1e1"})", {0, 0, 0, 10}},
      {"b_mode real in exponent form", R"({"b_mode":1e-5})", {0, 0, 0, 0}},
      {"b_mode empty text", R"({"b_mode":""})", {0, 0, 0, 0}},
      {"leading blanks, trailing junk", R"({"has_a":"  7 phases","has_c":"-3x"})", {7, 0, -3, 1}},
      {"hex text is not hex", R"({"has_a":"0x10"})", {0, 0, 0, 1}},
      {"null keys keep their values", R"({"has_a":null,"b_mode":null})", {0, 0, 0, 1}},
      {"unknown keys are not ours", R"({"has_d":5,"mode":4})", {0, 0, 0, 1}},
      {"each flag on its own", R"({"has_a":"4","has_b":"5","has_c":"6","b_mode":"7"})", {4, 5, 6, 7}},
      // Numbers beyond int saturate instead of wrapping.
      {"flag text above int", R"({"has_a":"99999999999","has_b":"2147483648"})", {INT_MAX, INT_MAX, 0, 1}},
      {"flag text below int", R"({"has_a":"-99999999999","has_b":"-2147483649"})", {INT_MIN, INT_MIN, 0, 1}},
      {"flag text at int's ends", R"({"has_a":"2147483647","has_b":"-2147483648"})", {INT_MAX, INT_MIN, 0, 1}},
      {"flag text beyond 64 bits", R"({"has_c":"-999999999999999999999999"})", {0, 0, INT_MIN, 1}},
      {"flag integer above int", R"({"has_a":99999999999})", {INT_MAX, 0, 0, 1}},
      {"flag real above int", R"({"has_b":3e9})", {0, INT_MAX, 0, 1}},
      // A real's text can be in exponent form ("1e+20"); the flag takes its value.
      {"flag real 1e20", R"({"has_a":1e20,"has_b":-1e20})", {INT_MAX, INT_MIN, 0, 1}},
      {"flag real 1e300", R"({"has_c":1e300})", {0, 0, INT_MAX, 1}},
      {"flag real 1e-5 is not monitored", R"({"has_a":1e-5,"has_b":-0.5})", {0, 0, 0, 1}},
      {"flag text in exponent form keeps atoi", R"({"has_a":"1e20"})", {1, 0, 0, 1}},
      {"b_mode text above int", R"({"b_mode":"99999999999"})", {0, 0, 0, INT_MAX}},
      {"b_mode real -1e30", R"({"b_mode":-1e30})", {0, 0, 0, INT_MIN}},
      {"b_mode real 1e300", R"({"b_mode":1e300})", {0, 0, 0, INT_MAX}},
      {"b_mode text inf", R"({"b_mode":"-inf"})", {0, 0, 0, INT_MIN}},
      {"b_mode text nan", R"({"b_mode":"nan"})", {0, 0, 0, 0}},
      {"b_mode just below int's floor", R"({"b_mode":"-2147483648.9"})", {0, 0, 0, INT_MIN}},
      {"b_mode just under int's ceiling", R"({"b_mode":"2147483647.9"})", {0, 0, 0, INT_MAX}},
      {"b_mode one past int's ceiling", R"({"b_mode":"2147483648"})", {0, 0, 0, INT_MAX}},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    qxtest::Rig rig;
    const Json::Value settings = parse(std::string(R"({"appSetting":)") + row.app_setting + "}");
    EXPECT_NO_THROW(rig.device->InitSetting(settings));
    expect_flags(*rig.device, row.want);
    EXPECT_EQ(rig.framework.calls_of(Op::kInitSetting).size(), 1u);
    EXPECT_TRUE(rig.framework.calls_of(Op::kVDeviceInitSetting).empty()) << "skipped SPModbus";
  }
}

// Framework InitSetting calls carry the settings as JSON text.
std::string text_of(const Json::Value& settings) { return Json::FastWriter().write(settings); }

TEST(Settings, SettingsWithoutAnAppSettingObjectChangeNothingButReachTheFramework) {
  const std::vector<const char*> roots = {
      R"({})",
      R"({"appSetting":null})",
      R"({"appSetting":"has_a=1"})",
      R"({"appSetting":[1,2,3]})",
      R"({"appSetting":5})",
      R"({"appSetting":true})",
      R"({"has_a":1,"b_mode":3})",
      R"([{"appSetting":{"has_a":1}}])",
      R"("appSetting")",
      R"(42)",
      R"(null)",
  };
  for (const char* text : roots) {
    SCOPED_TRACE(text);
    qxtest::Rig rig;
    rig.device->has_b = 7;
    const Json::Value settings = parse(text);
    EXPECT_NO_THROW(rig.device->InitSetting(settings));
    expect_flags(*rig.device, Flags{0, 7, 0, 1});
    const auto calls = rig.framework.calls_of(Op::kInitSetting);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].texts, std::vector<std::string>{text_of(settings)});
  }
}

struct ThrowRow {
  const char* name;
  const char* app_setting;
  Flags want;  // keys before the bad one are read, the rest are not
};

TEST(Settings, KeyWithoutTextFormThrowsAndStopsBeforeTheFramework) {
  // clang-format off
  const std::vector<ThrowRow> rows = {
      {"array flag first", R"({"has_a":[1],"has_b":5,"has_c":5,"b_mode":5})", {0, 0, 0, 1}},
      {"object flag in the middle", R"({"has_a":4,"has_b":{"v":1},"has_c":5,"b_mode":5})", {4, 0, 0, 1}},
      {"empty array last flag", R"({"has_a":4,"has_b":5,"has_c":[],"b_mode":5})", {4, 5, 0, 1}},
      {"object b_mode after every flag", R"({"has_a":4,"has_b":5,"has_c":6,"b_mode":{}})", {4, 5, 6, 1}},
  };
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    qxtest::Rig rig;
    const Json::Value settings = parse(std::string(R"({"appSetting":)") + row.app_setting + "}");
    EXPECT_THROW(rig.device->InitSetting(settings), Json::LogicError);
    expect_flags(*rig.device, row.want);
    EXPECT_TRUE(rig.framework.calls_of(Op::kInitSetting).empty());
  }
}

TEST(Settings, LaterCallsChangeOnlyTheKeysTheyHold) {
  qxtest::Rig rig;
  QX7540PM& device = *rig.device;
  device.InitSetting(parse(R"({"appSetting":{"has_a":1,"has_b":2,"has_c":3,"b_mode":4}})"));
  expect_flags(device, Flags{1, 2, 3, 4});

  device.InitSetting(parse(R"({"appSetting":{}})"));
  expect_flags(device, Flags{1, 2, 3, 4});

  device.InitSetting(parse(R"({"appSetting":{"has_b":"0","has_c":null}})"));
  expect_flags(device, Flags{1, 0, 3, 4});

  device.InitSetting(parse(R"({"port":"ttyS1"})"));
  expect_flags(device, Flags{1, 0, 3, 4});

  device.InitSetting(parse(R"({"appSetting":{"b_mode":"1"}})"));
  expect_flags(device, Flags{1, 0, 3, 1});
  EXPECT_EQ(rig.framework.calls_of(Op::kInitSetting).size(), 5u);
}

TEST(Settings, ReturnsTheFrameworksResult) {
  for (const long long result : {0LL, 1LL}) {
    SCOPED_TRACE(result);
    qxtest::Rig rig;
    rig.framework.set_result(Op::kInitSetting, result);
    EXPECT_EQ(rig.device->InitSetting(parse(R"({"appSetting":{"has_a":1}})")), result != 0);
  }
}

TEST(Settings, DataIdentifierLandsInTheFirstFourRecordBytesInNativeOrder) {
  const std::vector<std::int32_t> ids = {QX7540PM_DATA_ID, 0x01020304, -2, INT32_MIN};
  for (const std::int32_t id : ids) {
    SCOPED_TRACE(id);
    qxtest::Rig rig;
    rig.device->data_id = id;
    // Even settings the device cannot read stamp the identifier first.
    EXPECT_THROW(rig.device->InitSetting(parse(R"({"appSetting":{"has_a":[]}})")),
                 Json::LogicError);
    std::vector<unsigned char> want(91, 0);
    std::memcpy(want.data(), &id, sizeof id);
    EXPECT_EQ(qxtest::record_bytes(*rig.device), want);

    rig.device->data_id = id ^ 0x7f;
    rig.device->InitSetting(parse("{}"));
    const std::int32_t changed = id ^ 0x7f;
    std::memcpy(want.data(), &changed, sizeof changed);
    EXPECT_EQ(qxtest::record_bytes(*rig.device), want);
  }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  qxtest::Rig rig;
  rig.device->data_id = 0x01020304;
  rig.device->InitSetting(parse("{}"));
  const auto bytes = qxtest::record_bytes(*rig.device);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4),
            (std::vector<unsigned char>{0x04, 0x03, 0x02, 0x01}));
#endif
}

}  // namespace
