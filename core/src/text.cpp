#include "qxcore/text.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "qxi18n/i18n.h"

namespace qxcore {
namespace {

const char* program_name = "qx7540pm-bench";

}  // namespace

std::string format(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), fmt, again);
    text.resize(static_cast<std::size_t>(n));
  }
  va_end(again);
  return text;
}

bool has_byte_order_mark(const std::string& text) {
  return text.compare(0, sizeof kByteOrderMark - 1, kByteOrderMark) == 0;
}

std::string hex_text(const unsigned char* bytes, std::size_t size, bool spaced) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (spaced && !hex.empty()) hex += ' ';
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xF];
  }
  return hex;
}

std::string hex_text(const std::vector<unsigned char>& bytes, bool spaced) {
  return hex_text(bytes.data(), bytes.size(), spaced);
}

std::string to_hex(const std::vector<unsigned char>& bytes) { return hex_text(bytes, false); }

std::string spaced_hex(const std::vector<unsigned char>& bytes) { return hex_text(bytes, true); }

std::string local_time_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

void set_program_name(const char* name) { program_name = name; }

void say(const std::string& message) {
  std::cerr << format(_("%s: %s"), program_name, message.c_str()) << std::endl;
}

}  // namespace qxcore
