// Display width and line breaking of UTF-8 text, on GNU libunistring
// (Unicode's East Asian widths and line breaking rules), independent of the
// run's LC_CTYPE.
#include "qxi18n/text_width.h"

#include <unilbrk.h>
#include <unistr.h>
#include <uniwidth.h>

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace qxi18n {
namespace {

/// Columns are counted as in a UTF-8 locale: East Asian ambiguous characters are narrow.
constexpr const char* kEncoding = "UTF-8";

const std::uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

/// The length of the character at the front of `text`, and its columns; an
/// invalid byte (overlong, surrogate, out of range, cut short) is one byte
/// of one column, as a terminal shows one replacement mark for it.
std::size_t next_character(std::string_view text, std::size_t& columns) {
  ucs4_t c = 0;
  const int length = u8_mbtoucr(&c, bytes_of(text), text.size());
  if (length <= 0) {
    columns = 1;
    return 1;
  }
  columns = static_cast<std::size_t>(code_point_width(c));
  return static_cast<std::size_t>(length);
}

/// Runs of white space as one space, none at either end.
std::string collapse_spaces(std::string_view text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\t') {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    out += c;
    space = false;
  }
  return out;
}

/// Chinese punctuation: the ideographic and full-width forms ("，", "（", "："...).
bool is_wide_punctuation(ucs4_t c) {
  return (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF00 && c <= 0xFF0F) ||
         (c >= 0xFF1A && c <= 0xFF20) || (c >= 0xFF3B && c <= 0xFF40) ||
         (c >= 0xFF5B && c <= 0xFF65);
}

/// The library's break opportunities, less those within a word: Latin text
/// breaks at spaces only (an option name "--csv", a path, "qx7540pm.so"), as
/// Python's textwrap does without break_on_hyphens, and Chinese glued to Latin
/// letters or signs without a space or Chinese punctuation between is one
/// word too (a placeholder "文件...", a key "相电压Ua").
std::vector<char> break_overrides(const std::string& text) {
  std::vector<char> overrides(text.size(), UC_BREAK_UNDEFINED);
  std::size_t begin = 0;  // of the current piece: between spaces and Chinese punctuation
  bool latin = false;     // the piece holds a Latin letter or sign
  const auto end_piece = [&](std::size_t end) {
    if (latin) {
      for (std::size_t i = begin + 1; i < end; ++i) overrides[i] = UC_BREAK_PROHIBITED;
    }
    latin = false;
  };
  for (std::size_t at = 0; at < text.size();) {
    ucs4_t c = 0;
    int length = u8_mbtoucr(&c, bytes_of(text.substr(at)), text.size() - at);
    if (length <= 0) length = 1;
    const std::size_t next = at + static_cast<std::size_t>(length);
    if (c == ' ' || is_wide_punctuation(c)) {
      end_piece(at);
      begin = next;
    } else if (c < 0x80) {
      latin = true;
    }
    at = next;
  }
  end_piece(text.size());
  // A number keeps its unit: "0.2 Hz", "500 ms", "220 V" never part at the space.
  for (std::size_t i = 2; i < text.size(); ++i) {
    const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    if (text[i - 1] == ' ' && ascii(text[i - 2]) && ascii(text[i]) &&
        std::isdigit(static_cast<unsigned char>(text[i - 2])) &&
        std::isalpha(static_cast<unsigned char>(text[i]))) {
      std::size_t end = i;
      while (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) ++end;
      if (end - i <= 3) overrides[i] = UC_BREAK_PROHIBITED;
    }
  }
  return overrides;
}

}  // namespace

int code_point_width(char32_t c) {
  const int width = uc_width(static_cast<ucs4_t>(c), kEncoding);
  return width < 0 ? 0 : width;
}

std::size_t display_width(std::string_view utf8) {
  if (u8_check(bytes_of(utf8), utf8.size()) == nullptr &&
      utf8.find('\0') == std::string_view::npos) {
    const std::string text(utf8);
    return static_cast<std::size_t>(u8_strwidth(bytes_of(text), kEncoding));
  }
  std::size_t width = 0;
  while (!utf8.empty()) {
    std::size_t columns = 0;
    utf8.remove_prefix(next_character(utf8, columns));
    width += columns;
  }
  return width;
}

std::vector<std::string> wrap_to_width(std::string_view utf8, std::size_t width,
                                       std::string_view first_indent, std::string_view indent) {
  const std::string text = collapse_spaces(utf8);
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  // The library's break opportunities, filled greedily. A space that ends a
  // line takes no column (u8_width_linebreaks would count it).
  std::vector<char> breaks(text.size());
  u8_possible_linebreaks(bytes_of(text), text.size(), kEncoding, breaks.data());
  const std::vector<char> overrides = break_overrides(text);
  std::string line(first_indent);
  std::size_t used = display_width(first_indent);
  bool empty = true;
  bool space_before = false;  ///< a space between the last piece and the next
  std::size_t begin = 0;
  for (std::size_t end = 1; end <= text.size(); ++end) {
    if (end < text.size() &&
        (breaks[end] != UC_BREAK_POSSIBLE || overrides[end] == UC_BREAK_PROHIBITED)) {
      continue;
    }
    std::string piece = text.substr(begin, end - begin);
    begin = end;
    const bool spaced = piece.back() == ' ';
    if (spaced) piece.pop_back();
    const std::size_t piece_width = display_width(piece);
    const std::size_t gap = space_before ? 1 : 0;
    if (!empty && used + gap + piece_width > width) {
      lines.push_back(line);
      line.assign(indent);
      used = display_width(indent);
      empty = true;
    }
    if (!empty && space_before) {
      line += ' ';
      ++used;
    }
    line += piece;
    used += piece_width;
    empty = false;
    space_before = spaced;
  }
  lines.push_back(line);
  return lines;
}

std::string pad_to_width(std::string_view utf8, std::size_t width, Align align) {
  const std::size_t has = display_width(utf8);
  if (has >= width) return std::string(utf8);
  const std::string fill(width - has, ' ');
  return align == Align::left ? std::string(utf8) + fill : fill + std::string(utf8);
}

std::string truncate_to_width(std::string_view utf8, std::size_t width) {
  std::size_t used = 0;
  std::size_t kept = 0;
  while (kept < utf8.size()) {
    std::size_t columns = 0;
    const std::size_t length = next_character(utf8.substr(kept), columns);
    if (used + columns > width) break;
    used += columns;
    kept += length;
  }
  return std::string(utf8.substr(0, kept));
}

std::string fit_to_width(std::string_view utf8, std::size_t width, Align align) {
  return pad_to_width(truncate_to_width(utf8, width), width, align);
}

}  // namespace qxi18n
