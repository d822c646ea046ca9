#include "util/digest_text.h"

#include <cstring>

#include "util/text.h"

namespace quendal {
namespace {

constexpr char k_lower_hex[] = "0123456789abcdef";
constexpr char k_upper_hex[] = "0123456789ABCDEF";

// For every byte: its value as a hex digit in the low four bits, and whether it is a lower-case
// letter, an upper-case letter or no hex digit at all.
constexpr std::uint8_t k_lower_letter = 0x10;
constexpr std::uint8_t k_upper_letter = 0x20;
constexpr std::uint8_t k_not_hex = 0x40;

constexpr std::array<std::uint8_t, 256> make_digit_table() {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t c = 0; c < table.size(); ++c) {
    if (c >= '0' && c <= '9')
      table[c] = static_cast<std::uint8_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      table[c] = static_cast<std::uint8_t>(c - 'a' + 10) | k_lower_letter;
    else if (c >= 'A' && c <= 'F')
      table[c] = static_cast<std::uint8_t>(c - 'A' + 10) | k_upper_letter;
    else
      table[c] = k_not_hex;
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> k_digits = make_digit_table();

}  // namespace

DigestText DigestText::from_text(std::string_view text) {
  DigestText digest;
  digest.m_text = TextView{text.data(), text.size()};
  if (text.size() != k_hex_length) return digest;
  // Digests are read by the million: one table look-up per digit, one test at the end.
  Bytes bytes;
  std::uint8_t seen = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t high = k_digits[static_cast<unsigned char>(text[2 * i])];
    const std::uint8_t low = k_digits[static_cast<unsigned char>(text[2 * i + 1])];
    seen |= high | low;
    bytes[i] = static_cast<std::uint8_t>((high & 0x0F) << 4 | (low & 0x0F));
  }
  const std::uint8_t kind = seen & (k_lower_letter | k_upper_letter | k_not_hex);
  if (kind != 0 && kind != k_lower_letter && kind != k_upper_letter) return digest;  // as text
  digest.m_bytes = bytes;
  digest.m_form = kind == k_upper_letter ? Form::upper : Form::lower;
  return digest;
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
