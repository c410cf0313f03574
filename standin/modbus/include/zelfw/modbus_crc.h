// CRC-16/MODBUS, the check every RTU frame ends with (low byte first on the
// wire). libmodbus keeps its own to itself; the simulated meter needs one to
// forge bad frames and the link to show the request it sent.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelfw {

inline std::uint16_t modbus_crc(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                           : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

}  // namespace zelfw
