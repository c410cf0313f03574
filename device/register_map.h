// The meter's register map: where each register sits in the record, its
// snapshot key and its scale, and what it measures (the kind of quantity,
// its phase, unit and the decimals a reading is shown with, for the programs
// that show the meter's values). Header-only, so that host programs take
// these facts from here without linking device code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <json/value.h>

#include "qx7540pm_data.h"

namespace qx7540pm {

/// How a register word becomes its engineering value.
enum class Scale : std::uint8_t { kNone, kDiv10, kDiv1000, kDiv10000, kFrequency };

/// Divisor of the frequency register, in double precision (bits 0x408D41B99BCB20E7).
constexpr double kFrequencyDivisor = 936.2156291837135;

/// The divisor a scale applies (1 for unscaled words).
constexpr double divisor_of(Scale scale) {
  return scale == Scale::kDiv10       ? 10
         : scale == Scale::kDiv1000   ? 1000
         : scale == Scale::kDiv10000  ? 10000
         : scale == Scale::kFrequency ? kFrequencyDivisor
                                      : 1;
}

/// Byte offset in the record of a register's word (registers 0..31 and 33..40).
constexpr unsigned register_offset(int reg) {
  return reg < QX7540PM_BLOCK2_START ? static_cast<unsigned>(offsetof(QX7540PM_Data_t, block1)) +
                                           2 * static_cast<unsigned>(reg - QX7540PM_BLOCK1_START)
                                     : static_cast<unsigned>(offsetof(QX7540PM_Data_t, block2)) +
                                           2 * static_cast<unsigned>(reg - QX7540PM_BLOCK2_START);
}

/// The kind of quantity a register holds.
enum class QuantityKind {
  kPhaseVoltage,
  kLineVoltage,
  kCurrent,
  kActivePower,
  kReactivePower,
  kApparentPower,
  kPowerFactor,
  kFrequency,
  kDigitalInputs,
  kDigitalOutputs,
  kUnused,
  kForwardActiveEnergy,
  kReverseActiveEnergy,
  kForwardReactiveEnergy,
  kReverseReactiveEnergy,
};

/// The phase group: phase A (or line AB), B (BC), C (CA), or the meter as a
/// whole (the three phases' average or total, and single-valued registers).
enum class PhaseGroup { kA, kB, kC, kWhole };

/// One rendered register: where it is in the record, how it is named and
/// scaled, and what it measures.
struct RegisterEntry {
  int reg;          ///< Modbus register number
  unsigned offset;  ///< byte offset of its word in the record
  const char* key;  ///< snapshot key, UTF-8
  Scale scale;
  QuantityKind kind;
  PhaseGroup phase;
  const char* unit;  ///< "" for plain numbers
  int decimals;      ///< decimals a reading is shown with
};

/// Number of register values in the snapshot (the 37th member is the time).
constexpr int kRenderedRegisters = 36;
constexpr int kSnapshotMembers = kRenderedRegisters + 1;
/// The snapshot member that holds the record's time stamp as text.
constexpr const char* kUpdateTimeKey = "更新时间";

/// The record's time stamp as the snapshot shows it: year-month-day
/// hour:minute:second, unpadded ("2026-12-7 9:5:3").
inline std::string format_update_time(const QX7540PM_Data_t& record) {
  return std::to_string(record.year) + "-" + std::to_string(record.month) + "-" +
         std::to_string(record.day) + " " + std::to_string(record.hour) + ":" +
         std::to_string(record.minute) + ":" + std::to_string(record.second);
}

/// The rendered registers, one row each, in the order the snapshot sets them.
/// (A constant of each translation unit: the plug-in's sources are C++11.)
constexpr RegisterEntry kRegisterMap[kRenderedRegisters] = {
    {0, register_offset(0), "相电压Ua", Scale::kDiv10, QuantityKind::kPhaseVoltage, PhaseGroup::kA,
     "V", 1},
    {1, register_offset(1), "线电压Uca", Scale::kDiv10, QuantityKind::kLineVoltage, PhaseGroup::kC,
     "V", 1},
    {2, register_offset(2), "A相电流", Scale::kDiv1000, QuantityKind::kCurrent, PhaseGroup::kA, "A",
     3},
    {3, register_offset(3), "DI", Scale::kNone, QuantityKind::kDigitalInputs, PhaseGroup::kWhole,
     "", 0},
    {4, register_offset(4), "A相有功功率", Scale::kDiv1000, QuantityKind::kActivePower,
     PhaseGroup::kA, "kW", 3},
    {5, register_offset(5), "A相功率因数", Scale::kDiv10000, QuantityKind::kPowerFactor,
     PhaseGroup::kA, "", 4},
    {6, register_offset(6), "A相无功功率", Scale::kDiv1000, QuantityKind::kReactivePower,
     PhaseGroup::kA, "kvar", 3},
    {7, register_offset(7), "A相视在功率", Scale::kDiv1000, QuantityKind::kApparentPower,
     PhaseGroup::kA, "kVA", 3},
    {8, register_offset(8), "相电压Ub", Scale::kDiv10, QuantityKind::kPhaseVoltage, PhaseGroup::kB,
     "V", 1},
    {9, register_offset(9), "线电压Uab", Scale::kDiv10, QuantityKind::kLineVoltage, PhaseGroup::kA,
     "V", 1},
    {10, register_offset(10), "B相电流", Scale::kDiv1000, QuantityKind::kCurrent, PhaseGroup::kB,
     "A", 3},
    {11, register_offset(11), "DO", Scale::kNone, QuantityKind::kDigitalOutputs, PhaseGroup::kWhole,
     "", 0},
    {12, register_offset(12), "B相有功功率", Scale::kDiv1000, QuantityKind::kActivePower,
     PhaseGroup::kB, "kW", 3},
    {13, register_offset(13), "B相功率因数", Scale::kDiv10000, QuantityKind::kPowerFactor,
     PhaseGroup::kB, "", 4},
    {14, register_offset(14), "B相无功功率", Scale::kDiv1000, QuantityKind::kReactivePower,
     PhaseGroup::kB, "kvar", 3},
    {15, register_offset(15), "B相视在功率", Scale::kDiv1000, QuantityKind::kApparentPower,
     PhaseGroup::kB, "kVA", 3},
    {16, register_offset(16), "相电压Uc", Scale::kDiv10, QuantityKind::kPhaseVoltage,
     PhaseGroup::kC, "V", 1},
    {17, register_offset(17), "线电压Ubc", Scale::kDiv10, QuantityKind::kLineVoltage,
     PhaseGroup::kB, "V", 1},
    {18, register_offset(18), "C相电流", Scale::kDiv1000, QuantityKind::kCurrent, PhaseGroup::kC,
     "A", 3},
    {19, register_offset(19), "无效", Scale::kNone, QuantityKind::kUnused, PhaseGroup::kWhole, "",
     0},
    {20, register_offset(20), "C相有功功率", Scale::kDiv1000, QuantityKind::kActivePower,
     PhaseGroup::kC, "kW", 3},
    {21, register_offset(21), "C相功率因数", Scale::kDiv10000, QuantityKind::kPowerFactor,
     PhaseGroup::kC, "", 4},
    {22, register_offset(22), "C相无功功率", Scale::kDiv1000, QuantityKind::kReactivePower,
     PhaseGroup::kC, "kvar", 3},
    {23, register_offset(23), "C相视在功率", Scale::kDiv1000, QuantityKind::kApparentPower,
     PhaseGroup::kC, "kVA", 3},
    {24, register_offset(24), "三相平均线电压", Scale::kDiv10, QuantityKind::kLineVoltage,
     PhaseGroup::kWhole, "V", 1},
    {25, register_offset(25), "三相平均相电压", Scale::kDiv10, QuantityKind::kPhaseVoltage,
     PhaseGroup::kWhole, "V", 1},
    {26, register_offset(26), "三相平均相电流", Scale::kDiv1000, QuantityKind::kCurrent,
     PhaseGroup::kWhole, "A", 3},
    {27, register_offset(27), "频率", Scale::kFrequency, QuantityKind::kFrequency,
     PhaseGroup::kWhole, "Hz", 3},
    {28, register_offset(28), "三相有功功率", Scale::kDiv1000, QuantityKind::kActivePower,
     PhaseGroup::kWhole, "kW", 3},
    {29, register_offset(29), "三相总功率因数", Scale::kDiv10000, QuantityKind::kPowerFactor,
     PhaseGroup::kWhole, "", 4},
    {30, register_offset(30), "三相无功功率", Scale::kDiv1000, QuantityKind::kReactivePower,
     PhaseGroup::kWhole, "kvar", 3},
    {31, register_offset(31), "三相视在功率", Scale::kDiv1000, QuantityKind::kApparentPower,
     PhaseGroup::kWhole, "kVA", 3},
    {33, register_offset(33), "正向有功电能", Scale::kNone, QuantityKind::kForwardActiveEnergy,
     PhaseGroup::kWhole, "kWh", 0},
    {34, register_offset(34), "负向有功电能", Scale::kNone, QuantityKind::kReverseActiveEnergy,
     PhaseGroup::kWhole, "kWh", 0},
    {35, register_offset(35), "正向无功电能", Scale::kNone, QuantityKind::kForwardReactiveEnergy,
     PhaseGroup::kWhole, "kvarh", 0},
    {36, register_offset(36), "负向无功电能", Scale::kNone, QuantityKind::kReverseReactiveEnergy,
     PhaseGroup::kWhole, "kvarh", 0},
};

/// The row of a rendered register from row `row` on; nullptr past the table.
constexpr const RegisterEntry* find_register_from(int reg, int row) {
  return row >= kRenderedRegisters      ? nullptr
         : kRegisterMap[row].reg == reg ? &kRegisterMap[row]
                                        : find_register_from(reg, row + 1);
}

/// The row of a rendered register; nullptr for registers the snapshot does not show.
constexpr const RegisterEntry* find_register(int reg) { return find_register_from(reg, 0); }

/// The snapshot key of a rendered register.
constexpr const char* key_of(int reg) { return find_register(reg)->key; }

/// Row in kRegisterMap of a kind and phase from row `row` on; kRenderedRegisters when
/// the meter has no such register.
constexpr int register_index_from(QuantityKind kind, PhaseGroup phase, int row) {
  return row >= kRenderedRegisters ? kRenderedRegisters
         : kRegisterMap[row].kind == kind && kRegisterMap[row].phase == phase
             ? row
             : register_index_from(kind, phase, row + 1);
}

/// Row in kRegisterMap of a kind and phase; kRenderedRegisters when the meter has none.
constexpr int register_index(QuantityKind kind, PhaseGroup phase) {
  return register_index_from(kind, phase, 0);
}

/// Register word at a record offset, native byte order.
inline std::uint16_t record_word(const QX7540PM_Data_t& record, unsigned offset) {
  std::uint16_t word;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof word);
  return word;
}

/// Sets the 37 snapshot members from a record, in table order, by assignment.
void render_snapshot(const QX7540PM_Data_t& record, Json::Value& snapshot);

}  // namespace qx7540pm
