// The framework's packed broken-down local time, as stored in device records.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

#include "zel_export.h"

#pragma pack(push, 1)
/// Seven packed bytes: 16-bit year in native byte order, then month, day, hour,
/// minute and second, one byte each.
struct ttime_t {
  std::uint16_t year;
  std::uint8_t month;
  std::uint8_t day;
  std::uint8_t hour;
  std::uint8_t minute;
  std::uint8_t second;
};
#pragma pack(pop)

static_assert(sizeof(ttime_t) == 7, "ttime_t is seven packed bytes");

/// Breaks a local time down into the record form. Not-a-date-time and other
/// special values give all-zero fields.
ZEL_API ttime_t get_ttime(boost::posix_time::ptime t);
