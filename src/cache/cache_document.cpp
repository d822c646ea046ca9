#include "cache/cache_document.h"

#include <array>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "json/parallel_writer.h"
#include "util/parallel.h"
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
  // The target of the members of "entries".
  const Target& entries() const { return m_entries; }

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

// How many pieces a thread gets (see the manifest's reading, which is split the same way).
constexpr std::size_t k_pieces_per_thread = 4;

// Bytes of text per entry that the room made for the entries counts on (see the manifest's).
constexpr std::size_t k_entry_bytes = 128;

// The entries of one piece of "entries", read on a thread of their own.
struct EntryPiece {
  HashCacheMap entries;
  EntriesTarget target{entries};
  Result<void> read = Failure{"not read"};
};

// The document read in pieces on `threads` threads, or nullopt when that does not go through.
std::optional<ClientHashCacheDocument> parse_in_pieces(std::string_view text, std::size_t min_piece,
                                                       std::size_t threads,
                                                       const std::function<void()>& text_read) {
  const std::vector<std::size_t> points =
      json::split_points(text, threads * k_pieces_per_thread, json::Container::object, min_piece);
  if (points.size() < 2) return std::nullopt;
  ClientHashCacheDocument document;
  CacheDocumentTarget target(document);
  HashCacheMap head;  // the entries before the first split point
  Result<void> outer = Failure{"not read"};
  std::vector<EntryPiece> pieces(points.size() - 1);
  run_in_parallel(points.size(), threads, [&](std::size_t i) {
    if (i == 0) {
      document.entries.reserve(points.front() / k_entry_bytes);
      outer = json::read_document_skipping(
          text, points.front(), points.back(), target, target.entries(), [&] {
            head = std::move(document.entries);
            document.entries = HashCacheMap();
            document.entries.reserve((text.size() - points.back()) / k_entry_bytes);
          });
      return;
    }
    EntryPiece& piece = pieces[i - 1];
    piece.entries.reserve((points[i] - points[i - 1]) / k_entry_bytes);
    piece.read = json::read_range(text.substr(points[i - 1], points[i] - points[i - 1]),
                                  json::Container::object, piece.target);
  });
  if (!outer.ok()) return std::nullopt;
  for (const EntryPiece& piece : pieces) {
    if (!piece.read.ok()) return std::nullopt;
  }
  if (text_read) text_read();  // before the entries are joined, which doubles them for a while
  // In document order, so that of a key given twice the later entry wins.
  std::size_t total = head.size() + document.entries.size();
  for (const EntryPiece& piece : pieces) total += piece.entries.size();
  HashCacheMap joined;
  joined.reserve(total);
  joined.absorb(std::move(head));
  for (EntryPiece& piece : pieces) joined.absorb(std::move(piece.entries));
  joined.absorb(std::move(document.entries));
  document.entries = std::move(joined);
  return document;
}

}  // namespace

Result<ClientHashCacheDocument> parse_hash_cache_document(std::string_view text,
                                                          std::size_t threads,
                                                          std::size_t min_piece,
                                                          const std::function<void()>& text_read) {
  if (threads > 1) {
    std::optional<ClientHashCacheDocument> pieces =
        parse_in_pieces(text, min_piece, threads, text_read);
    if (pieces) return std::move(*pieces);
  }
  ClientHashCacheDocument document;
  document.entries.reserve(text.size() / k_entry_bytes);
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

void write_hash_cache_document(json::Writer& out, const ClientHashCacheDocument& document,
                               std::size_t threads) {
  const HashCacheMap& entries = document.entries;
  const std::vector<const HashCacheMap::Item*> sorted =
      entries.ascending() ? std::vector<const HashCacheMap::Item*>() : entries.items_in_key_order();
  const auto item_at = [&](std::size_t i) -> const HashCacheMap::Item& {
    return entries.ascending() ? entries.items()[i] : *sorted[i];
  };
  // About 160 bytes per entry beyond its key.
  std::size_t estimate = 512;
  for (const HashCacheMap::Item& item : entries.items()) estimate += item.path.size() + 160;
  out.reserve(estimate);
  out.begin_object();
  out.field("schemaVersion", document.schema_version);
  out.field("clientRoot", document.client_root);
  out.field("manifestSignature", document.manifest_signature);
  out.field("generatedAt", document.generated_at ? std::optional<std::string>(
                                                       format_timestamp(*document.generated_at))
                                                 : std::nullopt);
  out.begin_object("entries");
  json::write_elements(out, entries.size(), threads, [&](json::Writer& to, std::size_t i) {
    const HashCacheMap::Item& item = item_at(i);
    to.begin_object(item.path);
    to.field("size", item.entry.size);
    to.field("modifiedUnixSeconds", item.entry.modified_unix_seconds);
    to.field("sha256", item.entry.sha256);
    to.end_object();
  });
  out.end_object();
  out.end_object();
}

}  // namespace quendal
