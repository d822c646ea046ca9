#include "util/digest_text.h"

#include <cstring>

#include "util/text.h"

namespace quendal {
namespace {

constexpr char k_lower_hex[] = "0123456789abcdef";
constexpr char k_upper_hex[] = "0123456789ABCDEF";

// The value of a hex digit of the given case, or -1.
int digit_value(char c, bool upper) {
  if (c >= '0' && c <= '9') return c - '0';
  const char a = upper ? 'A' : 'a';
  if (c >= a && c <= a + 5) return c - a + 10;
  return -1;
}

}  // namespace

DigestText::DigestText(std::string_view text) : m_text{text.data(), text.size()} {
  if (text.size() != k_hex_length) return;
  // The case of the first letter decides; a digit-only digest reads as lower case.
  bool upper = false;
  for (char c : text) {
    if (c >= 'A' && c <= 'F') {
      upper = true;
      break;
    }
    if (c >= 'a' && c <= 'f') break;
  }
  Bytes bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = digit_value(text[2 * i], upper);
    const int low = digit_value(text[2 * i + 1], upper);
    if (high < 0 || low < 0) return;
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  m_bytes = bytes;
  m_form = upper ? Form::upper : Form::lower;
}

DigestText DigestText::from_bytes(const Bytes& bytes) {
  DigestText digest;
  digest.m_bytes = bytes;
  digest.m_form = Form::lower;
  return digest;
}

char* DigestText::write(char* out) const {
  if (!is_hex()) {
    if (m_text.size != 0) std::memcpy(out, m_text.data, m_text.size);
    return out + m_text.size;
  }
  const char* hex = m_form == Form::upper ? k_upper_hex : k_lower_hex;
  for (std::uint8_t byte : m_bytes) {
    *out++ = hex[byte >> 4];
    *out++ = hex[byte & 0x0F];
  }
  return out;
}

std::string DigestText::text() const {
  std::string text(size(), '\0');
  write(text.data());
  return text;
}

bool DigestText::is_blank() const {
  return !is_hex() && quendal::is_blank(std::string_view(m_text.data, m_text.size));
}

bool DigestText::equals_ignoring_case(const DigestText& other) const {
  if (is_hex() && other.is_hex()) return m_bytes == other.m_bytes;
  if (size() != other.size()) return false;
  // A text that is not a one-case hex digest can still equal one ignoring case ("AbC…").
  std::string a = text();
  std::string b = other.text();
  return equals_ignoring_ascii_case(a, b);
}

bool operator==(const DigestText& a, const DigestText& b) {
  if (a.m_form != b.m_form) {
    // A hex form and a text form can spell the same bytes only when the text is not one case,
    // which a hex form never is.
    return false;
  }
  if (a.is_hex()) return a.m_bytes == b.m_bytes;
  return std::string_view(a.m_text.data, a.m_text.size) ==
         std::string_view(b.m_text.data, b.m_text.size);
}

}  // namespace quendal
