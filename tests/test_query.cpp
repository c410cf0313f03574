// The single-value query: it never serves a value, and its message says why.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "capture.h"
#include "plugin.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

// The message of the std::out_of_range the query throws; any other outcome
// fails the test.
std::string message(const VDeviceInterface& device, unsigned int index, const std::string& name) {
  try {
    device.Get_Value(index, name);
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "returned a value";
}

// The query's answer with last_update `age` seconds before the local clock.
// Retried when the clock's second turns during the query, so the age is exact.
std::string message_at_age(QX7540PM& device, long long age) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const ptime now = second_clock::local_time();
    device.last_update = now - seconds(age);
    const std::string answer = message(device, 3, "相电压Ua");
    if (second_clock::local_time() == now) return answer;
  }
  ADD_FAILURE() << "the clock kept turning";
  return "";
}

void complete_round(qxtest::Rig& rig) {
  qxtest::capture_stdout([&] {
    rig.complete_round(std::vector<std::uint16_t>(32, 1), std::vector<std::uint16_t>(8, 2));
  });
}

TEST(Query, NotReadyUntilTheFirstRoundWhateverIsAsked) {
  qxtest::Rig rig;
  Json::Value setting(Json::objectValue);
  setting["appSetting"]["has_a"] = 1;
  rig.device->InitSetting(setting);
  rig.device->RefreshStatus();
  const std::vector<std::uint16_t> block1(32, 7);
  zelfw::deliver_reply(*rig.device, block1.data(), 32);
  qxtest::capture_stdout([&] { zelfw::deliver_error(*rig.device); });

  for (const char* name : {"", "相电压Ua", "更新时间", "anything"}) {
    for (unsigned int index : {0u, 1u, 5156u, 0xFFFFFFFFu}) {
      EXPECT_EQ(message(*rig.device, index, name), "数据未就绪") << name << ' ' << index;
    }
  }
}

TEST(Query, FreshDataIsReadyButNoVariableIsServed) {
  qxtest::Rig rig;
  complete_round(rig);
  for (const char* name : {"", "相电压Ua", "频率", "更新时间", "x"}) {
    EXPECT_EQ(message(*rig.device, 0, name), "不支持变量") << name;
  }
}

TEST(Query, AgeAboveSixtySecondsTimesOut) {
  struct Row {
    long long age;
    const char* answer;
  };
  const Row rows[] = {{0, "不支持变量"},     {59, "不支持变量"},          {60, "不支持变量"},
                      {61, "数据已超时"},    {86400 * 400, "数据已超时"}, {-1, "不支持变量"},
                      {-3600, "不支持变量"}, {-86400 * 400, "不支持变量"}};
  qxtest::Rig rig;
  complete_round(rig);
  for (const Row& row : rows) {
    EXPECT_EQ(message_at_age(*rig.device, row.age), row.answer) << "age " << row.age;
  }
}

TEST(Query, NeverNotReadyAgainOnceARoundOrCacheLoadCompleted) {
  qxtest::Rig polled;
  complete_round(polled);
  qxtest::Rig restored;
  std::vector<unsigned char> cached(91, 0);
  qxtest::capture_stdout([&] { restored.device->LoadFromCache(cached.data(), 91); });

  for (qxtest::Rig* rig : {&polled, &restored}) {
    QX7540PM& dev = *rig->device;
    // Failed exchanges, rejected loads and new settings do not undo it.
    qxtest::capture_stdout([&] { zelfw::deliver_error(dev); });
    dev.LoadFromCache(cached.data(), 90);
    dev.InitSetting(Json::Value(Json::objectValue));
    EXPECT_EQ(message(dev, 0, ""), "不支持变量");
    EXPECT_EQ(message_at_age(dev, 3600), "数据已超时");
  }
}

// What a device that keeps the interface's own query answers.
struct InterfaceOnly : VDeviceInterface {
  using VDeviceInterface::LoadFromCache;
  int LoadFromCache(const unsigned char*, int) override { return 0; }
  int DeviceIoControl(int, const void*, int, void*, int, int&) override { return -1; }
  void RoundDone() override {}
};

TEST(Query, InterfaceDefaultIsAlwaysNotReady) {
  InterfaceOnly device;
  EXPECT_EQ(message(device, 0, ""), "数据未就绪");
  EXPECT_EQ(message(device, 7, "相电压Ua"), "数据未就绪");
}

}  // namespace
