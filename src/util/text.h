// Text helpers shared by every subsystem: Unicode white space, blank tests, UTF-8 validation,
// quoting for fault descriptions and ASCII case folding. All of them work on UTF-8 bytes and
// never allocate more than their result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quendal {

// True when `code_point` has the Unicode White_Space property.
bool is_white_space(char32_t code_point);

// True when `text` is empty or holds only white space. Bytes that are not valid UTF-8 count as
// non-blank.
bool is_blank(std::string_view text);

// `text` without white space at either end. Returns a view into `text`.
std::string_view trim_white_space(std::string_view text);

// Length in bytes of the white space at the start of `text`; bytes that are not valid UTF-8 end
// it.
std::size_t white_space_prefix(std::string_view text);

// Splits `text` at "/" and "\" and calls `segment` for every segment that is not blank, in order.
template <typename F>
void for_each_path_segment(std::string_view text, F&& segment) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '/' || text[i] == '\\') {
      std::string_view part = text.substr(start, i - start);
      if (!is_blank(part)) segment(part);
      start = i + 1;
    }
  }
}

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Length in bytes of the longest prefix of `text` that is well-formed UTF-8.
std::size_t valid_utf8_prefix(std::string_view text);

// The most code points of a text that quoted_excerpt() keeps.
inline constexpr std::size_t k_max_excerpt_code_points = 120;

// `text` made safe to stand in a one-line message on a terminal: control characters (U+0000 to
// U+001F and U+007F to U+009F) written as JSON escapes ("\n", "\u001b"), and bytes that are not
// UTF-8 as "\xNN". Everything else is copied unchanged, so a text without them stays as it is.
std::string one_line(std::string_view text);

// `text` in single quotes, for quoting a document's text in a one-line fault description. A text
// of more than k_max_excerpt_code_points code points is cut after that many (never inside a
// UTF-8 sequence) and "…" (U+2026) stands before the closing quote; the rest is written as
// one_line() writes it.
std::string quoted_excerpt(std::string_view text);

// A to Z replaced by a to z; every other byte unchanged.
std::string ascii_lower(std::string_view text);
void ascii_lower_in_place(std::string& text);

// Same length and equal byte for byte after ASCII case folding.
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

}  // namespace quendal
