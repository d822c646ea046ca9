// The hash cache document: its records, reading and exact indented encoding.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cache/cache_entry.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "util/result.h"
#include "util/timestamp.h"

namespace quendal {

inline constexpr std::string_view k_hash_cache_schema = "velor-tirn-client-hash-cache.v2";

struct ClientHashCacheDocument {
  std::string schema_version;
  std::string client_root;
  std::optional<std::string> manifest_signature;
  std::optional<Instant> generated_at;
  HashCacheMap entries;
};

// Reads a cache document. The rules are the manifest's (unknown keys skipped, a field key twice
// or missing fails, null only where allowed), except that a key repeated inside "entries" is
// not a fault: the later member wins. A generatedAt that is present must be a timestamp. The
// failure is the fault's description ending with " at line L, column C"; bytes that are not
// UTF-8 are such a fault.
// With `threads` above 1 a large document's "entries" are read in pieces on that many threads
// and joined in order, with the plain reading as the fallback: the result and every fault's
// message are the same either way.
// `text_read` as for parse_update_manifest.
Result<ClientHashCacheDocument> parse_hash_cache_document(
    std::string_view text, std::size_t threads = 1, std::size_t min_piece = json::k_min_split_part,
    const std::function<void()>& text_read = {});

// The document as indented JSON: two spaces per level, ": " after keys, "{}" for no entries,
// no line feed at the end. Fails only when a text is not valid UTF-8.
Result<std::string> encode_hash_cache_document(const ClientHashCacheDocument& document);

// The same document written into `out` (an indented writer, perhaps with a sink); the entries
// are encoded on `threads` threads (see json::write_elements).
void write_hash_cache_document(json::Writer& out, const ClientHashCacheDocument& document,
                               std::size_t threads = 1);

}  // namespace quendal
