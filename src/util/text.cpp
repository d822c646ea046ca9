#include "util/text.h"

#include <cstring>

namespace quendal {
namespace {

// Decodes one well-formed UTF-8 sequence at `text[i]`. Returns its length in bytes, or 0 when
// the bytes there are not well-formed, and stores the code point.
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& code_point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const std::size_t left = text.size() - i;
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) {
    code_point = b0;
    return 1;
  }
  const auto continuation = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left < 2 || !continuation(1)) return 0;
    code_point = static_cast<char32_t>(((b0 & 0x1F) << 6) | (byte(1) & 0x3F));
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !continuation(1) || !continuation(2)) return 0;
    if (b0 == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
    if (b0 == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
    code_point =
        static_cast<char32_t>(((b0 & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F));
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (b0 == 0xF0 && byte(1) < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && byte(1) >= 0x90) return 0;  // above U+10FFFF
    code_point = static_cast<char32_t>(((b0 & 0x07) << 18) | ((byte(1) & 0x3F) << 12) |
                                       ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F));
    return 4;
  }
  return 0;
}

}  // namespace

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_blank(std::string_view text) {
  // A text that starts with a visible ASCII character is not blank; digests and paths do.
  if (!text.empty() && static_cast<unsigned char>(text.front()) > 0x20 &&
      static_cast<unsigned char>(text.front()) < 0x7F) {
    return false;
  }
  return trim_white_space(text).empty();
}

std::string_view trim_white_space(std::string_view text) {
  const std::size_t begin = white_space_prefix(text);
  // Trailing white space: step back over continuation bytes to the start of each character.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    char32_t c = 0;
    const std::size_t n = decode_utf8(text, start, c);
    if (n != end - start || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::size_t white_space_prefix(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size()) {
    char32_t c = 0;
    const std::size_t n = decode_utf8(text, end, c);
    if (n == 0 || !is_white_space(c)) break;
    end += n;
  }
  return end;
}

std::size_t valid_utf8_prefix(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // Plain ASCII is by far the common case: skip it sixteen bytes at a time.
    while (i + 16 <= text.size()) {
      std::uint64_t first;
      std::uint64_t second;
      std::memcpy(&first, text.data() + i, 8);
      std::memcpy(&second, text.data() + i + 8, 8);
      if ((first | second) & 0x8080808080808080ULL) break;
      i += 16;
    }
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      if ((i & 15) == 0) break;
    }
    if (i >= text.size()) break;
    char32_t c = 0;
    const std::size_t n = decode_utf8(text, i, c);
    if (n == 0) return i;
    i += n;
  }
  return text.size();
}

bool is_valid_utf8(std::string_view text) { return valid_utf8_prefix(text) == text.size(); }

namespace {

// Appends `text` with what would break its line or drive a terminal written as escapes: C0
// and C1 control characters and DEL in JSON's form ("\n", "\u001b", "\u009b"), and bytes
// that are not UTF-8 as "\xNN".
void append_one_line(std::string& out, std::string_view text) {
  static constexpr char k_hex[] = "0123456789abcdef";
  const auto escape = [&](std::string_view prefix, unsigned value) {
    out += prefix;
    out += k_hex[(value >> 4) & 0xF];
    out += k_hex[value & 0xF];
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      out += text[i++];
      continue;
    }
    char32_t c = 0;
    const std::size_t n = decode_utf8(text, i, c);
    if (n == 0) {
      escape("\\x", byte);
      ++i;
      continue;
    }
    switch (c) {
      case U'\b': out += "\\b"; break;
      case U'\t': out += "\\t"; break;
      case U'\n': out += "\\n"; break;
      case U'\f': out += "\\f"; break;
      case U'\r': out += "\\r"; break;
      default:
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
          escape("\\u00", static_cast<unsigned>(c));
        } else {
          out.append(text.substr(i, n));
        }
    }
    i += n;
  }
}

}  // namespace

std::string one_line(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  append_one_line(result, text);
  return result;
}

std::string quoted_excerpt(std::string_view text) {
  // The excerpt ends before the lead byte of the first code point beyond the limit; a value of
  // many megabytes is only scanned that far.
  std::size_t end = 0;
  std::size_t code_points = 0;
  for (; end < text.size(); ++end) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) continue;
    if (code_points == k_max_excerpt_code_points) break;
    ++code_points;
  }
  std::string result;
  result.reserve(end + 8);
  result += '\'';
  append_one_line(result, text.substr(0, end));
  if (end < text.size()) result += "\u2026";
  result += '\'';
  return result;
}

void ascii_lower_in_place(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

std::string ascii_lower(std::string_view text) {
  std::string result(text);
  ascii_lower_in_place(result);
  return result;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // the usual case: both digests written in lower case
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace quendal
