// The meter's register map, and the snapshot rendered from a record.
#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

#include "qx7540pm_data.h"

namespace qx7540pm {

/// How a register word becomes its engineering value.
enum class Scale : std::uint8_t { kNone, kDiv10, kDiv1000, kDiv10000, kFrequency };

/// Divisor of the frequency register, in double precision (bits 0x408D41B99BCB20E7).
constexpr double kFrequencyDivisor = 936.2156291837135;

/// One rendered register: where it is in the record and how it is named and scaled.
struct RegisterEntry {
  int reg;          ///< Modbus register number
  unsigned offset;  ///< byte offset of its word in the record
  const char* key;  ///< snapshot key, UTF-8
  Scale scale;
};

/// Number of register values in the snapshot (the 37th member is the time).
constexpr int kRenderedRegisters = 36;
constexpr int kSnapshotMembers = kRenderedRegisters + 1;
constexpr const char* kUpdateTimeKey = "更新时间";

/// The rendered registers, in the order the snapshot sets them.
const RegisterEntry* register_map();

/// Engineering value of one register word.
double scale_word(std::uint16_t word, Scale scale);

/// Register word at a record offset, native byte order.
std::uint16_t record_word(const QX7540PM_Data_t& record, unsigned offset);

/// The record's time stamp as year-month-day hour:minute:second, unpadded.
std::string format_update_time(const QX7540PM_Data_t& record);

/// Sets the 37 snapshot members from a record, in table order, by assignment.
void render_snapshot(const QX7540PM_Data_t& record, Json::Value& snapshot);

}  // namespace qx7540pm
