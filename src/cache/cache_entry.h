// Hash cache entries: the size and last-write second at which a file's digest was taken, and
// the digest, keyed by the manifest path exactly as written.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quendal {

struct ClientHashCacheEntry {
  std::uint64_t size = 0;
  std::optional<std::int64_t> modified_unix_seconds;
  std::string sha256;  // as stored; need not be a well-formed digest

  friend bool operator==(const ClientHashCacheEntry&, const ClientHashCacheEntry&) = default;
};

// Keys in ascending byte order. The loaded cache is shared read-only by the hashing jobs; the
// refreshed map is written by the outcome fold alone.
using HashCacheMap = std::map<std::string, ClientHashCacheEntry, std::less<>>;

// The entry stored under exactly `path` (byte for byte), or nullptr.
inline const ClientHashCacheEntry* find_cache_entry(const HashCacheMap& cache,
                                                    std::string_view path) {
  const auto found = cache.find(path);
  return found == cache.end() ? nullptr : &found->second;
}

// Stores `entry` under `path`, replacing an entry already stored there.
inline void insert_cache_entry(HashCacheMap& cache, std::string path, ClientHashCacheEntry entry) {
  // Manifests usually list their files in ascending order, and then the end is the right place
  // and no search is needed; any other key is placed by an ordinary search.
  cache.insert_or_assign(cache.end(), std::move(path), std::move(entry));
}

}  // namespace quendal
