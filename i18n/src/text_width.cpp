// Display width of UTF-8 text, independent of the run's LC_CTYPE.
#include "qxi18n/text_width.h"

#include <locale.h>
#include <algorithm>
#include <clocale>
#include <cwchar>
#include <initializer_list>
#include <iterator>
#include <vector>

namespace qxi18n {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

struct Range {
  char32_t first;
  char32_t last;
};

// East Asian wide and full-width blocks (Unicode's EastAsianWidth W and F),
// as far as labels and messages use them.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};
// Combining marks and zero-width characters.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

bool in(const Range* begin, const Range* end, char32_t c) {
  for (const Range* r = begin; r != end; ++r) {
    if (c >= r->first && c <= r->last) return true;
  }
  return false;
}

/// A UTF-8 LC_CTYPE of the C library's, made once; 0 where it has none.
locale_t utf8_ctype() {
  static const locale_t found = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", "zh_CN.UTF-8"}) {
      if (const locale_t made = ::newlocale(LC_CTYPE_MASK, name, locale_t{})) return made;
    }
    return locale_t{};
  }();
  return found;
}

/// A UTF-8 lead byte's range, its sequence's length, the bits it carries and
/// the smallest code point a sequence of that length may encode.
struct Lead {
  unsigned char low;
  unsigned char high;
  std::size_t length;
  unsigned char bits;
  char32_t least;
};

constexpr Lead kLeads[] = {
    {0xC2, 0xDF, 2, 0x1F, 0x80},
    {0xE0, 0xEF, 3, 0x0F, 0x800},
    {0xF0, 0xF4, 4, 0x07, 0x10000},
};

/// One code point from the front of `text`, which it advances; -1 for an
/// invalid byte (overlong, surrogate, out of range, cut short), which it skips.
long next_code_point(std::string_view& text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto invalid = [&text] {
    text.remove_prefix(1);
    return -1L;
  };
  const unsigned char first = byte(0);
  if (first < 0x80) {
    text.remove_prefix(1);
    return static_cast<long>(first);
  }
  const Lead* lead = nullptr;
  for (const Lead& l : kLeads) {
    if (first >= l.low && first <= l.high) lead = &l;
  }
  if (lead == nullptr || text.size() < lead->length) return invalid();
  char32_t c = first & lead->bits;
  for (std::size_t i = 1; i < lead->length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return invalid();
    c = (c << 6) | (byte(i) & 0x3Fu);
  }
  if (c < lead->least || c > kMaxCodePoint || (c >= 0xD800 && c <= 0xDFFF)) return invalid();
  text.remove_prefix(lead->length);
  return static_cast<long>(c);
}

int width_of(long c) { return c < 0 ? 1 : code_point_width(static_cast<char32_t>(c)); }

/// Punctuation a line never starts with, and punctuation it never ends with
/// (the usual rules for Chinese text, and their ASCII forms).
bool closes(long c) {
  static const char32_t kClosing[] = {U'，', U'。', U'、', U'：', U'；', U'！', U'？', U'）',
                                      U'」', U'』', U'》', U'〉', U'…',  U'”',  U'’',  U',',
                                      U'.',  U':',  U';',  U'!',  U'?',  U')',  U']'};
  return std::find(std::begin(kClosing), std::end(kClosing), static_cast<char32_t>(c)) !=
         std::end(kClosing);
}
bool opens(long c) {
  static const char32_t kOpening[] = {U'（', U'「', U'『', U'《', U'〈', U'“', U'‘', U'(', U'['};
  return std::find(std::begin(kOpening), std::end(kOpening), static_cast<char32_t>(c)) !=
         std::end(kOpening);
}

/// A piece of text no line break goes into: a word, or a wide character
/// with the punctuation that keeps to it.
struct Unit {
  std::string text;
  std::size_t width = 0;
  bool space_before = false;
};

std::vector<Unit> units_of(std::string_view text) {
  std::vector<Unit> units;
  bool space = false;
  long previous = ' ';
  while (!text.empty()) {
    const std::string_view at = text;
    const long c = next_code_point(text);
    const std::string_view bytes = at.substr(0, at.size() - text.size());
    if (c == ' ' || c == '\n' || c == '\t') {
      space = true;
      previous = ' ';
      continue;
    }
    const int width = width_of(c);
    // A break fits between two characters when either is wide, as in
    // Chinese text, unless punctuation keeps them together.
    const bool joins = !space && !units.empty() &&
                       ((width_of(previous) < 2 && width < 2) || closes(c) || opens(previous));
    if (!joins) {
      units.push_back(Unit());
      units.back().space_before = space && units.size() > 1;
    }
    units.back().text.append(bytes);
    units.back().width += static_cast<std::size_t>(width);
    space = false;
    previous = c;
  }
  return units;
}

}  // namespace

std::vector<std::string> wrap_to_width(std::string_view utf8, std::size_t width,
                                       std::string_view first_indent, std::string_view indent) {
  std::vector<std::string> lines;
  std::string line(first_indent);
  std::size_t used = display_width(first_indent);
  bool empty = true;
  for (const Unit& unit : units_of(utf8)) {
    const std::size_t space = unit.space_before && !empty ? 1 : 0;
    if (!empty && used + space + unit.width > width) {
      lines.push_back(line);
      line.assign(indent);
      used = display_width(indent);
      empty = true;
    }
    if (!empty && unit.space_before) {
      line += ' ';
      ++used;
    }
    line += unit.text;
    used += unit.width;
    empty = false;
  }
  if (!empty) lines.push_back(line);
  return lines;
}

int fallback_code_point_width(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
  if (in(std::begin(kZero), std::end(kZero), c)) return 0;
  return in(std::begin(kWide), std::end(kWide), c) ? 2 : 1;
}

int code_point_width(char32_t c) {
  const locale_t utf8 = utf8_ctype();
  if (utf8 == locale_t{}) return fallback_code_point_width(c);
  const locale_t previous = ::uselocale(utf8);
  const int width = ::wcwidth(static_cast<wchar_t>(c));
  ::uselocale(previous);
  return width < 0 ? 0 : width;
}

std::size_t display_width(std::string_view utf8) {
  std::size_t width = 0;
  while (!utf8.empty()) width += static_cast<std::size_t>(width_of(next_code_point(utf8)));
  return width;
}

std::string pad_to_width(std::string_view utf8, std::size_t width, Align align) {
  const std::size_t has = display_width(utf8);
  if (has >= width) return std::string(utf8);
  const std::string fill(width - has, ' ');
  return align == Align::left ? std::string(utf8) + fill : fill + std::string(utf8);
}

std::string truncate_to_width(std::string_view utf8, std::size_t width) {
  std::string_view rest = utf8;
  std::size_t used = 0;
  while (!rest.empty()) {
    std::string_view after = rest;
    const std::size_t w = static_cast<std::size_t>(width_of(next_code_point(after)));
    if (used + w > width) break;
    used += w;
    rest = after;
  }
  return std::string(utf8.substr(0, utf8.size() - rest.size()));
}

std::string fit_to_width(std::string_view utf8, std::size_t width, Align align) {
  return pad_to_width(truncate_to_width(utf8, width), width, align);
}

}  // namespace qxi18n
