// A SHA-256 digest as a document spells it. The usual spelling, 64 hexadecimal digits all of
// one case, is kept as the 32 bytes it stands for plus that case; any other text (a digest in
// mixed case, a blank or malformed value) is kept as a view of the text, which must outlive it.
// Either way the text comes back byte for byte as it was given.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quendal {

class DigestText {
 public:
  using Bytes = std::array<std::uint8_t, 32>;
  static constexpr std::size_t k_hex_length = 64;

  DigestText() : m_text{} {}
  // `text` kept as bytes when it is 64 hex digits of one case, else as a view of it: then
  // `text` must outlive the result (and every copy of it).
  static DigestText from_text(std::string_view text);
  // The same for a string literal, which lives as long as the program.
  template <std::size_t N>
  DigestText(const char (&literal)[N])  // NOLINT(google-explicit-constructor)
      : DigestText(from_text(std::string_view(literal, N - 1))) {}
  // The digest in lower-case hex, as the tool writes the digests it computes.
  static DigestText from_bytes(const Bytes& bytes);

  // True when the text is held as bytes (it is 64 hex digits of one case).
  bool is_hex() const { return m_form != Form::text; }
  // The digest's bytes; only when is_hex().
  const Bytes& bytes() const { return m_bytes; }

  std::size_t size() const { return is_hex() ? k_hex_length : m_text.size; }
  // Writes the text to `out`, which has room for size() bytes; returns the end.
  char* write(char* out) const;
  std::string text() const;
  // The text itself, without a copy; only when !is_hex().
  std::string_view text_view() const { return {m_text.data, m_text.size}; }

  // True for the empty text and for white space alone (never for a hex digest).
  bool is_blank() const;
  // The same digits, ignoring ASCII case (the comparison a verdict makes).
  bool equals_ignoring_case(const DigestText& other) const;
  // The same text byte for byte.
  friend bool operator==(const DigestText& a, const DigestText& b);

 private:
  enum class Form : std::uint8_t { lower, upper, text };
  struct TextView {
    const char* data;
    std::size_t size;
  };

  union {
    Bytes m_bytes;
    TextView m_text;
  };
  Form m_form = Form::text;
};

}  // namespace quendal
