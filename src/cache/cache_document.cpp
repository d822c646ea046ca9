#include "cache/cache_document.h"

#include <array>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "util/text.h"

namespace quendal {
namespace {

using json::FieldSpec;
using json::Scalar;
using json::Target;

// One entry's members; the entry is stored under its key once the object has ended, so a
// repeated key replaces the earlier entry.
class EntryTarget final : public json::RecordTarget {
 public:
  explicit EntryTarget(HashCacheMap& out) : RecordTarget(k_fields), m_out(out) {}

  void start(std::string_view key) {
    m_key = key;
    m_entry = ClientHashCacheEntry{};
    reset_fields();
  }

  std::string on_scalar(const Scalar& value) override {
    switch (field()) {
      case 0: return read_uint64(value, m_entry.size);
      case 1: return read_optional_int64(value, m_entry.modified_unix_seconds);
      default: return read_digest(value);
    }
  }
  std::string on_nested(bool, Target*&) override {
    switch (field()) {
      case 0: return wrong_type("an integer from 0 to 18446744073709551615");
      case 1: return wrong_type("a signed 64-bit integer or null");
      default: return wrong_type("a string");
    }
  }
  std::string on_end() override {
    std::string fault = RecordTarget::on_end();
    if (fault.empty()) m_out.insert(m_key, m_entry);
    return fault;
  }

 private:
  std::string read_digest(const Scalar& value) {
    if (value.kind != Scalar::Kind::string) return wrong_type("a string");
    m_entry.sha256 = DigestText::from_text(value.text);
    if (!m_entry.sha256.is_hex())
      m_entry.sha256 = DigestText::from_text(m_out.texts().store(value.text));
    return {};
  }

  static constexpr std::array<FieldSpec, 3> k_fields = {{
      {"size", true},
      {"modifiedUnixSeconds", false},
      {"sha256", true},
  }};
  HashCacheMap& m_out;
  std::string_view m_key;
  ClientHashCacheEntry m_entry;
};

// The members of "entries": any key, each value an entry; a repeated key replaces the earlier.
class EntriesTarget final : public Target {
 public:
  explicit EntriesTarget(HashCacheMap& out) : m_out(out), m_entry(out) {}

  std::string on_key(std::string_view key, bool& skip) override {
    skip = false;
    m_key = m_out.texts().store(key);
    return {};
  }
  std::string on_scalar(const Scalar&) override {
    return "the value of entry " + quoted_excerpt(m_key) + " must be an object";
  }
  std::string on_nested(bool is_object, Target*& child) override {
    if (!is_object) return "the value of entry " + quoted_excerpt(m_key) + " must be an object";
    m_entry.start(m_key);
    child = &m_entry;
    return {};
  }

 private:
  HashCacheMap& m_out;
  std::string_view m_key;
  EntryTarget m_entry;
};

class CacheDocumentTarget final : public json::RecordTarget {
 public:
  explicit CacheDocumentTarget(ClientHashCacheDocument& out)
      : RecordTarget(k_fields), m_out(out), m_entries(out.entries) {}

  std::string on_scalar(const Scalar& value) override {
    switch (field()) {
      case 0: return read_string(value, m_out.schema_version);
      case 1: return read_string(value, m_out.client_root);
      case 2: return read_optional_string(value, m_out.manifest_signature);
      case 3: return read_generated_at(value);
      default: return wrong_type("an object");
    }
  }
  std::string on_nested(bool is_object, Target*& child) override {
    switch (field()) {
      case 0:
      case 1: return wrong_type("a string");
      case 2: return wrong_type("a string or null");
      case 3: return wrong_type("a timestamp string or null");
      default:
        if (!is_object) return wrong_type("an object");
        child = &m_entries;
        return {};
    }
  }

 private:
  std::string read_generated_at(const Scalar& value) {
    if (value.kind == Scalar::Kind::null) {
      m_out.generated_at.reset();
      return {};
    }
    if (value.kind != Scalar::Kind::string) return wrong_type("a timestamp string or null");
    Result<Instant> instant = parse_timestamp(value.text);
    if (!instant.ok()) return "key 'generatedAt' must be a timestamp: " + instant.error();
    m_out.generated_at = *instant;
    return {};
  }

  static constexpr std::array<FieldSpec, 5> k_fields = {{
      {"schemaVersion", true},
      {"clientRoot", true},
      {"manifestSignature", false},
      {"generatedAt", false},
      {"entries", false},
  }};
  ClientHashCacheDocument& m_out;
  EntriesTarget m_entries;
};

}  // namespace

Result<ClientHashCacheDocument> parse_hash_cache_document(std::string_view text) {
  ClientHashCacheDocument document;
  CacheDocumentTarget target(document);
  Result<void> read = json::read_document(text, target);
  if (!read.ok()) return read.failure();
  return document;
}

Result<std::string> encode_hash_cache_document(const ClientHashCacheDocument& document) {
  json::Writer out(json::Layout::indented);
  write_hash_cache_document(out, document);
  return std::move(out).finish();
}

void write_hash_cache_document(json::Writer& out, const ClientHashCacheDocument& document) {
  // About 160 bytes per entry beyond its key.
  std::size_t estimate = 512;
  document.entries.for_each_in_key_order(
      [&](const HashCacheMap::Item& item) { estimate += item.path.size() + 160; });
  out.reserve(estimate);
  out.begin_object();
  out.field("schemaVersion", document.schema_version);
  out.field("clientRoot", document.client_root);
  out.field("manifestSignature", document.manifest_signature);
  out.field("generatedAt", document.generated_at ? std::optional<std::string>(
                                                       format_timestamp(*document.generated_at))
                                                 : std::nullopt);
  out.begin_object("entries");
  document.entries.for_each_in_key_order([&](const HashCacheMap::Item& item) {
    out.begin_object(item.path);
    out.field("size", item.entry.size);
    out.field("modifiedUnixSeconds", item.entry.modified_unix_seconds);
    out.field("sha256", item.entry.sha256);
    out.end_object();
  });
  out.end_object();
  out.end_object();
}

}  // namespace quendal
