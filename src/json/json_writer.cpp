#include "json/json_writer.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "util/text.h"

namespace quendal::json {
namespace {

// True for the bytes that cannot be copied as they are: control characters, '"', '\' and the
// bytes of non-ASCII characters (which are copied too, but only after validation).
constexpr bool needs_attention(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
}

// Non-zero when one of the eight bytes of `word` needs attention. Most texts (paths, digests)
// need none, so they are copied eight bytes per step.
constexpr std::uint64_t word_needs_attention(std::uint64_t word) {
  constexpr std::uint64_t k_ones = 0x0101010101010101ULL;
  constexpr std::uint64_t k_highs = 0x8080808080808080ULL;
  const auto has_zero = [](std::uint64_t v) { return (v - k_ones) & ~v & k_highs; };
  return (word & k_highs) | has_zero(word ^ (k_ones * '"')) | has_zero(word ^ (k_ones * '\\')) |
         ((word - k_ones * 0x20) & ~word & k_highs);
}

}  // namespace

Writer Writer::piece(Layout layout, std::size_t depth, bool after_others) {
  Writer out(layout);
  out.m_levels.assign(depth, Level{true});
  if (depth > 0) out.m_levels.back().has_members = after_others;
  return out;
}

void Writer::append_piece(const Result<std::string>& piece) {
  if (!piece.ok()) {
    m_invalid_utf8 = true;
    return;
  }
  if (piece->empty()) return;
  m_levels.back().has_members = true;
  m_out.append(*piece);
  maybe_flush();
}

void Writer::reserve(std::size_t bytes) {
  m_out.reserve(m_sink == nullptr ? bytes : std::min(bytes, m_chunk_size + 4096));
}

void Writer::newline_and_indent(std::size_t depth) {
  m_out += '\n';
  m_out.append(depth * 2, ' ');
}

void Writer::flush() {
  if (!m_sink_failure) {
    Result<void> written = m_sink->write(m_out);
    if (!written.ok()) m_sink_failure = written.error();
  }
  m_out.clear();
}

void Writer::before_value() {
  maybe_flush();
  if (m_after_key) {
    m_after_key = false;
    return;
  }
  if (m_levels.empty()) return;
  Level& level = m_levels.back();
  if (level.has_members) m_out += ',';
  level.has_members = true;
  if (m_layout == Layout::indented) newline_and_indent(m_levels.size());
}

void Writer::key(std::string_view name) {
  before_value();
  append_quoted(name);
  m_out += m_layout == Layout::indented ? ": " : ":";
  m_after_key = true;
}

void Writer::begin_object() {
  before_value();
  m_out += '{';
  m_levels.push_back(Level{});
}

void Writer::begin_array() {
  before_value();
  m_out += '[';
  m_levels.push_back(Level{});
}

void Writer::close(char bracket) {
  maybe_flush();
  const bool had_members = m_levels.back().has_members;
  m_levels.pop_back();
  if (had_members && m_layout == Layout::indented) newline_and_indent(m_levels.size());
  m_out += bracket;
}

void Writer::end_object() { close('}'); }
void Writer::end_array() { close(']'); }

void Writer::string(std::string_view text) {
  before_value();
  append_quoted(text);
}

void Writer::append_quoted(std::string_view text) {
  m_out += '"';
  static constexpr char k_hex[] = "0123456789abcdef";
  std::size_t run = 0;  // start of the bytes not yet copied
  std::size_t i = 0;
  while (i < text.size()) {
    if (i + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if (word_needs_attention(word) == 0) {
        i += 8;
        continue;
      }
    }
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needs_attention(c)) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      // Copy non-ASCII text as it is, once its bytes are known to be well-formed.
      std::size_t end = i + 1;
      while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80) ++end;
      if (!is_valid_utf8(text.substr(i, end - i))) m_invalid_utf8 = true;
      i = end;
      continue;
    }
    m_out.append(text.data() + run, i - run);
    switch (c) {
      case '"': m_out += "\\\""; break;
      case '\\': m_out += "\\\\"; break;
      case 0x08: m_out += "\\b"; break;
      case 0x09: m_out += "\\t"; break;
      case 0x0A: m_out += "\\n"; break;
      case 0x0C: m_out += "\\f"; break;
      case 0x0D: m_out += "\\r"; break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', k_hex[c >> 4], k_hex[c & 0x0F]};
        m_out.append(escape, sizeof escape);
      }
    }
    ++i;
    run = i;
  }
  m_out.append(text.data() + run, text.size() - run);
  m_out += '"';
}

void Writer::digest(const DigestText& text) {
  if (!text.is_hex()) {
    string(text.text_view());
    return;
  }
  before_value();
  const std::size_t at = m_out.size();
  m_out.resize(at + 2 + DigestText::k_hex_length);
  m_out[at] = '"';
  *text.write(m_out.data() + at + 1) = '"';
}

void Writer::optional_digest(const std::optional<DigestText>& text) {
  if (text)
    digest(*text);
  else
    null();
}

void Writer::optional_string(const std::optional<std::string>& text) {
  if (text)
    string(*text);
  else
    null();
}

void Writer::uint64(std::uint64_t number) {
  before_value();
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
  m_out.append(buffer, end);
}

void Writer::optional_uint64(const std::optional<std::uint64_t>& number) {
  if (number)
    uint64(*number);
  else
    null();
}

void Writer::int64(std::int64_t number) {
  before_value();
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
  m_out.append(buffer, end);
}

void Writer::optional_int64(const std::optional<std::int64_t>& number) {
  if (number)
    int64(*number);
  else
    null();
}

void Writer::boolean(bool value) {
  before_value();
  m_out += value ? "true" : "false";
}

void Writer::null() {
  before_value();
  m_out += "null";
}

Result<std::string> Writer::finish() && {
  if (m_sink != nullptr && !m_out.empty()) flush();
  if (m_sink_failure) return Failure{*m_sink_failure};
  if (m_invalid_utf8) return Failure{"string is not valid UTF-8"};
  return std::move(m_out);
}

}  // namespace quendal::json
