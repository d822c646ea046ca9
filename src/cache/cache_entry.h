// Hash cache entries: the size and last-write second at which a file's digest was taken, and
// the digest, keyed by the manifest path exactly as written.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "util/digest_text.h"
#include "util/text_arena.h"

namespace quendal {

struct ClientHashCacheEntry {
  std::uint64_t size = 0;
  std::optional<std::int64_t> modified_unix_seconds;
  DigestText sha256;  // as stored; need not be a well-formed digest

  friend bool operator==(const ClientHashCacheEntry&, const ClientHashCacheEntry&) = default;
};

// The entries of a cache, one per key, in a flat list: a million entries cost a few allocations
// rather than a million. Keys usually arrive in ascending order (stored documents and manifests
// list them so), and then the list is sorted as it grows and is searched by halves; the first
// key out of order builds an open-addressing index over the list, which serves from then on.
// Keys are views: of the map's own arena (texts()) for a loaded cache, of the
// manifest's for a refreshed one; whatever holds them must outlive the map. The loaded map is
// shared read-only by the hashing jobs; a refreshed map is written by the outcome fold alone.
class HashCacheMap {
 public:
  struct Item {
    std::string_view path;
    ClientHashCacheEntry entry;
  };

  HashCacheMap() = default;
  HashCacheMap(std::initializer_list<Item> items);
  HashCacheMap(HashCacheMap&&) noexcept = default;
  HashCacheMap& operator=(HashCacheMap&&) noexcept = default;

  // Stores `entry` under `path`, replacing an entry already stored there.
  void insert(std::string_view path, ClientHashCacheEntry entry);

  // The entry stored under exactly `path` (byte for byte), or nullptr.
  const ClientHashCacheEntry* find(std::string_view path) const {
    std::size_t hint = 0;
    return find(path, hint);
  }
  // The same, looking first at the few items from `hint` on, and leaving in `hint` the
  // position after the item found: a caller that looks up keys in about the order they are
  // stored finds most of them there.
  const ClientHashCacheEntry* find(std::string_view path, std::size_t& hint) const;

  std::size_t size() const { return m_items.size(); }
  bool empty() const { return m_items.empty(); }

  // The items as stored, and whether that is ascending byte order of the keys; otherwise
  // items_in_key_order() gives that order.
  const std::vector<Item>& items() const { return m_items; }
  bool ascending() const { return m_ascending; }
  std::vector<const Item*> items_in_key_order() const;

  // Calls `visit(item)` for every entry in ascending byte order of the keys.
  template <typename F>
  void for_each_in_key_order(F&& visit) const {
    if (m_ascending) {
      for (const Item& item : m_items) visit(item);
      return;
    }
    for (const Item* item : items_in_key_order()) visit(*item);
  }

  // Makes room for `count` entries (see platform::reserve_large).
  void reserve(std::size_t count);

  // Stores every entry of `later` as insert() would, one after the other (a key of both gets
  // later's entry), and takes over its texts.
  void absorb(HashCacheMap&& later);

  // Drops every entry; the texts stay, as views of them may still be held.
  void clear() {
    m_items = {};
    m_index = {};
    m_ascending = true;
  }

  // Where a loaded cache keeps the texts its keys and odd digests refer to.
  TextArena& texts() { return m_texts; }

  // The same keys with the same entries, whatever order they arrived in.
  friend bool operator==(const HashCacheMap& a, const HashCacheMap& b);

 private:
  const Item* find_item(std::string_view path) const;
  void grow_index();

  std::vector<Item> m_items;
  // Empty while m_ascending; then slot i holds 0 (empty) or 1 + the index of an item, and the
  // size is a power of two, at least twice the number of items.
  std::vector<std::uint32_t> m_index;
  bool m_ascending = true;  // whether m_items is in ascending key order
  TextArena m_texts;
};

// The entry stored under exactly `path` (byte for byte), or nullptr.
inline const ClientHashCacheEntry* find_cache_entry(const HashCacheMap& cache,
                                                    std::string_view path) {
  return cache.find(path);
}

// Stores `entry` under `path`, replacing an entry already stored there.
inline void insert_cache_entry(HashCacheMap& cache, std::string_view path,
                               ClientHashCacheEntry entry) {
  cache.insert(path, std::move(entry));
}

}  // namespace quendal
