// Text helpers every tool shares: printf into a string, the UTF-8
// byte-order mark, hex, the local time as the tools print it, and the one
// way a tool says what went wrong.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qxcore {

/// printf into a string; translated formats may reorder their arguments ("%2$s").
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/// The UTF-8 byte-order mark: written at the start of the CSV files (a
/// spreadsheet then reads them as UTF-8), allowed at the start of every input.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
/// True when `text` starts with kByteOrderMark.
bool has_byte_order_mark(const std::string& text);

/// Lowercase hex of bytes, two digits each, with a space between bytes or none.
std::string hex_text(const unsigned char* bytes, std::size_t size, bool spaced);
std::string hex_text(const std::vector<unsigned char>& bytes, bool spaced);
/// hex_text without spaces: "0103".
std::string to_hex(const std::vector<unsigned char>& bytes);
/// "01 03 00 00 00 20 44 12".
std::string spaced_hex(const std::vector<unsigned char>& bytes);

/// The local time now, "2026-12-08 15:27:40", as rounds and reports show it.
std::string local_time_now();

/// The name say() and fail() put before a message; "qx7540pm-bench" until a
/// program sets its own.
void set_program_name(const char* name);
/// "<program>: message" on standard error.
void say(const std::string& message);
/// What went wrong, as say() tells it.
inline void fail(const std::string& message) { say(message); }

}  // namespace qxcore
