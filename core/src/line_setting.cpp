#include "qxcore/line_setting.h"

#include <cctype>

namespace qxcore {

bool parse_frame_format(const std::string& text, LineSetting& setting) {
  if (text.size() != 3 || text[0] < '5' || text[0] > '8' || (text[2] != '1' && text[2] != '2')) {
    return false;
  }
  const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
  if (parity != 'N' && parity != 'E' && parity != 'O') return false;
  setting.data_bits = text[0] - '0';
  setting.parity = parity;
  setting.stop_bits = text[2] - '0';
  return true;
}

std::string frame_format_name(const LineSetting& setting) {
  return std::to_string(setting.data_bits) + setting.parity + std::to_string(setting.stop_bits);
}

std::string line_setting_name(const LineSetting& setting) {
  return std::to_string(setting.baud) + " " + frame_format_name(setting);
}

}  // namespace qxcore
