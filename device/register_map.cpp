#include "register_map.h"

namespace qx7540pm {
namespace {

// Single-precision quotients, widened: the controller's consumers expect
// exactly these values (2201 / 10 renders as 220.100006103515625).
double scale_word(std::uint16_t word, Scale scale) {
  const float value = static_cast<float>(word);
  switch (scale) {
    case Scale::kDiv10:
      return static_cast<double>(value / 10.0f);
    case Scale::kDiv1000:
      return static_cast<double>(value / 1000.0f);
    case Scale::kDiv10000:
      return static_cast<double>(value / 10000.0f);
    case Scale::kFrequency:
      return static_cast<double>(value) / kFrequencyDivisor;
    case Scale::kNone:
      break;
  }
  return static_cast<double>(value);
}

}  // namespace

void render_snapshot(const QX7540PM_Data_t& record, Json::Value& snapshot) {
  for (const RegisterEntry& entry : kRegisterMap) {
    snapshot[entry.key] = Json::Value(scale_word(record_word(record, entry.offset), entry.scale));
  }
  snapshot[kUpdateTimeKey] = Json::Value(format_update_time(record));
}

}  // namespace qx7540pm
