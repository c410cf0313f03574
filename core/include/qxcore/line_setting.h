// A serial line setting, as the bench, the stand-in framework's Modbus link
// and the simulated meter take it: speed and frame format ("9600 8N1").
#pragma once

#include <string>

namespace qxcore {

struct LineSetting {
  int baud = 9600;
  int data_bits = 8;
  char parity = 'N';  ///< 'N', 'E' or 'O'
  int stop_bits = 1;
};

/// "8N1", "8E1", "7O2" (case-insensitive parity) into the setting's frame
/// format; false, the setting unchanged, when text is none.
bool parse_frame_format(const std::string& text, LineSetting& setting);
/// The frame format: "8N1".
std::string frame_format_name(const LineSetting& setting);
/// Speed and frame format: "9600 8N1".
std::string line_setting_name(const LineSetting& setting);

}  // namespace qxcore
