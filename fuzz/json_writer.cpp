// Fuzzes the JSON encoder: a valid UTF-8 text, written as a key and as a string value in both
// layouts, gives JSON that the reader decodes to the same bytes; an invalid one is refused. The
// reader (the JSON library's parser) also serves as an independent judge of UTF-8 validity.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/json_writer.h"
#include "util/text.h"

using namespace quendal;

namespace {

// Captures the one member of {"key": "value"}.
class Member final : public json::Target {
 public:
  std::string on_key(std::string_view key, bool& skip) override {
    skip = false;
    m_key = key;
    return {};
  }
  std::string on_scalar(const json::Scalar& value) override {
    if (value.kind != json::Scalar::Kind::string) return "not a string";
    m_value = value.text;
    return {};
  }
  std::string on_nested(bool, Target*&) override { return "nested"; }

  std::string m_key;
  std::string m_value;
};

bool needs_escape(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool valid = is_valid_utf8(text);

  if (!needs_escape(text)) {
    Member raw;
    const std::string document = "{\"k\":\"" + std::string(text) + "\"}";
    FUZZ_CHECK(json::read_document(document, raw).ok() == valid);
  }

  for (json::Layout layout : {json::Layout::compact, json::Layout::indented}) {
    json::Writer out(layout);
    out.begin_object();
    out.key(text);
    out.string(text);
    out.end_object();
    Result<std::string> encoded = std::move(out).finish();
    if (!valid) {
      FUZZ_CHECK(!encoded.ok() && encoded.error() == "string is not valid UTF-8");
      continue;
    }
    FUZZ_CHECK(encoded.ok());
    for (char c : *encoded) {
      FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 ||
                 (c == '\n' && layout == json::Layout::indented));
    }
    Member member;
    FUZZ_CHECK(json::read_document(*encoded, member).ok());
    FUZZ_CHECK(member.m_key == text && member.m_value == text);
  }
  return 0;
}
