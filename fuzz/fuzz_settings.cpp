// InitSetting with arbitrary settings. The one exception a settings call may
// raise is jsoncpp's, from asString() on an appSetting key that is an array
// or an object; any other exception, crash or broken invariant is a finding.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "fuzz_common.h"

namespace {

constexpr const char* kKeys[] = {"has_a", "has_b", "has_c", "b_mode"};

// The settings object: either the whole document from the input, or an
// appSetting object whose four keys each hold a JSON value from the input.
Json::Value make_settings(FuzzedDataProvider& fdp) {
  Json::Value settings;
  if (fdp.ConsumeBool()) {
    qxfuzz::parse_json(fdp.ConsumeRemainingBytesAsString(), settings);
    return settings;
  }
  Json::Value app(Json::objectValue);
  for (const char* key : kKeys) {
    if (!fdp.ConsumeBool()) continue;
    Json::Value value;
    if (qxfuzz::parse_json(fdp.ConsumeRandomLengthString(64), value)) app[key] = value;
  }
  settings["appSetting"] = app;
  return settings;
}

// True when the settings hold a key that has no text form, the documented
// reason for InitSetting to throw.
bool has_untextable_key(const Json::Value& settings) {
  if (!settings.isObject()) return false;
  const Json::Value& app = settings["appSetting"];
  if (!app.isObject()) return false;
  for (const char* key : kKeys) {
    const Json::Value& value = app[key];
    if (value.isArray() || value.isObject()) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool run_round = fdp.ConsumeBool();
  const Json::Value settings = make_settings(fdp);

  qxhost::Rig rig;
  QX7540PM& device = *rig.device;
  bool threw = false;
  try {
    device.InitSetting(settings);
  } catch (const Json::LogicError&) {
    threw = true;
  }
  QX_FUZZ_CHECK(threw == has_untextable_key(settings));
  // The framework's settings run exactly when the device's did not stop.
  QX_FUZZ_CHECK(rig.framework.calls_of(zelfw::Op::kInitSetting).size() == (threw ? 0u : 1u));
  std::int32_t id = 0;
  std::memcpy(&id, &device.raw_data, sizeof id);
  QX_FUZZ_CHECK(id == device.DataId());

  if (run_round) {
    // Whatever the settings, a round completes and the alarm runs only in mode 1.
    rig.complete_round(std::vector<std::uint16_t>(QX7540PM_BLOCK1_COUNT, 11999),
                       std::vector<std::uint16_t>(QX7540PM_BLOCK2_COUNT, 0));
    const auto alarms = rig.framework.calls_of(zelfw::Op::kCheckThresholdBool);
    QX_FUZZ_CHECK(alarms.size() == (device.mode == QX7540PM::kAlarmCheckMode ? 1u : 0u));
    if (!alarms.empty()) {
      const bool monitored = device.has_a != 0 || device.has_b != 0 || device.has_c != 0;
      QX_FUZZ_CHECK((alarms.front().ints.at(1) != 0) == monitored);
    }
  }
  return 0;
}
