#include "register_map.h"

#include <cstring>

namespace qx7540pm {
namespace {

constexpr unsigned block1_offset(int reg) { return 4 + 2 * static_cast<unsigned>(reg); }
constexpr unsigned block2_offset(int reg) {
  return 68 + 2 * static_cast<unsigned>(reg - QX7540PM_BLOCK2_START);
}

// Read-only: one row per rendered register, in snapshot order.
constexpr RegisterEntry kRegisterMap[kRenderedRegisters] = {
    {0, block1_offset(0), "相电压Ua", Scale::kDiv10},
    {1, block1_offset(1), "线电压Uca", Scale::kDiv10},
    {2, block1_offset(2), "A相电流", Scale::kDiv1000},
    {3, block1_offset(3), "DI", Scale::kNone},
    {4, block1_offset(4), "A相有功功率", Scale::kDiv1000},
    {5, block1_offset(5), "A相功率因数", Scale::kDiv10000},
    {6, block1_offset(6), "A相无功功率", Scale::kDiv1000},
    {7, block1_offset(7), "A相视在功率", Scale::kDiv1000},
    {8, block1_offset(8), "相电压Ub", Scale::kDiv10},
    {9, block1_offset(9), "线电压Uab", Scale::kDiv10},
    {10, block1_offset(10), "B相电流", Scale::kDiv1000},
    {11, block1_offset(11), "DO", Scale::kNone},
    {12, block1_offset(12), "B相有功功率", Scale::kDiv1000},
    {13, block1_offset(13), "B相功率因数", Scale::kDiv10000},
    {14, block1_offset(14), "B相无功功率", Scale::kDiv1000},
    {15, block1_offset(15), "B相视在功率", Scale::kDiv1000},
    {16, block1_offset(16), "相电压Uc", Scale::kDiv10},
    {17, block1_offset(17), "线电压Ubc", Scale::kDiv10},
    {18, block1_offset(18), "C相电流", Scale::kDiv1000},
    {19, block1_offset(19), "无效", Scale::kNone},
    {20, block1_offset(20), "C相有功功率", Scale::kDiv1000},
    {21, block1_offset(21), "C相功率因数", Scale::kDiv10000},
    {22, block1_offset(22), "C相无功功率", Scale::kDiv1000},
    {23, block1_offset(23), "C相视在功率", Scale::kDiv1000},
    {24, block1_offset(24), "三相平均线电压", Scale::kDiv10},
    {25, block1_offset(25), "三相平均相电压", Scale::kDiv10},
    {26, block1_offset(26), "三相平均相电流", Scale::kDiv1000},
    {27, block1_offset(27), "频率", Scale::kFrequency},
    {28, block1_offset(28), "三相有功功率", Scale::kDiv1000},
    {29, block1_offset(29), "三相总功率因数", Scale::kDiv10000},
    {30, block1_offset(30), "三相无功功率", Scale::kDiv1000},
    {31, block1_offset(31), "三相视在功率", Scale::kDiv1000},
    {33, block2_offset(33), "正向有功电能", Scale::kNone},
    {34, block2_offset(34), "负向有功电能", Scale::kNone},
    {35, block2_offset(35), "正向无功电能", Scale::kNone},
    {36, block2_offset(36), "负向无功电能", Scale::kNone},
};

}  // namespace

const RegisterEntry* register_map() { return kRegisterMap; }

double scale_word(std::uint16_t word, Scale scale) {
  // Single-precision quotients, widened: the controller's consumers expect
  // exactly these values (2201 / 10 renders as 220.100006103515625).
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

std::uint16_t record_word(const QX7540PM_Data_t& record, unsigned offset) {
  std::uint16_t word;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof word);
  return word;
}

std::string format_update_time(const QX7540PM_Data_t& record) {
  return std::to_string(record.year) + "-" + std::to_string(record.month) + "-" +
         std::to_string(record.day) + " " + std::to_string(record.hour) + ":" +
         std::to_string(record.minute) + ":" + std::to_string(record.second);
}

void render_snapshot(const QX7540PM_Data_t& record, Json::Value& snapshot) {
  for (const RegisterEntry& entry : kRegisterMap) {
    snapshot[entry.key] = Json::Value(scale_word(record_word(record, entry.offset), entry.scale));
  }
  snapshot[kUpdateTimeKey] = Json::Value(format_update_time(record));
}

}  // namespace qx7540pm
