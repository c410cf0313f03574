// Columns of UTF-8 text on a terminal, for the text tables (round block,
// summary, watch screen, scan list) stay aligned with Chinese labels: a
// Chinese character is three bytes and two columns.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qxi18n {

/// Columns of one code point: 2 for CJK ideographs and full-width forms, 0
/// for combining marks and control characters, 1 otherwise (libunistring's
/// Unicode tables, as a UTF-8 locale counts them, whatever LC_CTYPE the run has).
int code_point_width(char32_t c);

/// Columns of UTF-8 text; a byte that is not part of a valid sequence counts
/// one column (a terminal shows one replacement mark for it).
std::size_t display_width(std::string_view utf8);

enum class Align { left, right };

/// The text padded with spaces to `width` columns; wider text is left as it is.
std::string pad_to_width(std::string_view utf8, std::size_t width, Align align = Align::left);

/// The longest whole-character prefix of at most `width` columns: a wide
/// character that would cross the edge is left out.
std::string truncate_to_width(std::string_view utf8, std::size_t width);

/// Exactly `width` columns: truncated, then padded.
std::string fit_to_width(std::string_view utf8, std::size_t width, Align align = Align::left);

/// A paragraph broken into lines of at most `width` columns, indents
/// included: greedily, at spaces, and between Chinese characters where no
/// punctuation keeps them together (a line does not start with "，" or "）"
/// nor end with "（"); runs of white space are one break. A word wider than
/// the line keeps a line of its own. In English the lines of Python's
/// textwrap.wrap without breaks at hyphens.
std::vector<std::string> wrap_to_width(std::string_view utf8, std::size_t width,
                                       std::string_view first_indent = {},
                                       std::string_view indent = {});

}  // namespace qxi18n
