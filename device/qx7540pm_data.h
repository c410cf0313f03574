// The meter's record: identifier, two register images and the round's time
// stamp, packed into 91 bytes. It is published, stored as history and restored
// from cache as it stands, so its layout is a wire and storage format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ttime.h"
#include "zel_export.h"

/// Data identifier under which the meter's records are published.
constexpr int QX7540PM_DATA_ID = 5156;

/// Registers in the first read (0..31) and the second read (33..40).
constexpr int QX7540PM_BLOCK1_START = 0;
constexpr int QX7540PM_BLOCK1_COUNT = 32;
constexpr int QX7540PM_BLOCK2_START = 33;
constexpr int QX7540PM_BLOCK2_COUNT = 8;

#pragma pack(push, 1)
struct ZEL_API QX7540PM_Data_t {
  std::int32_t device_data_id;                  ///< the device's DataId(), native order
  std::uint16_t block1[QX7540PM_BLOCK1_COUNT];  ///< registers 0..31, native words
  std::uint16_t block2[QX7540PM_BLOCK2_COUNT];  ///< registers 33..40, native words
  std::uint16_t year;                           ///< time stamp of the last completed round
  std::uint8_t month;
  std::uint8_t day;
  std::uint8_t hour;
  std::uint8_t minute;
  std::uint8_t second;
};
#pragma pack(pop)

constexpr unsigned int QX7540PM_RECORD_SIZE = 91;

static_assert(sizeof(QX7540PM_Data_t) == QX7540PM_RECORD_SIZE, "the record is 91 packed bytes");
static_assert(offsetof(QX7540PM_Data_t, block1) == 4, "block1 follows the identifier");
static_assert(offsetof(QX7540PM_Data_t, block2) == 68, "block2 follows block1");
static_assert(offsetof(QX7540PM_Data_t, year) == 84, "the time stamp follows block2");
static_assert(offsetof(QX7540PM_Data_t, second) == 90, "the time stamp ends the record");
static_assert(sizeof(QX7540PM_Data_t) - offsetof(QX7540PM_Data_t, year) == sizeof(ttime_t),
              "the time stamp has ttime_t's layout");
