#include "cache/cache_entry.h"

#include "platform/platform.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace quendal {
namespace {

std::size_t hash_of(std::string_view path) { return std::hash<std::string_view>{}(path); }

}  // namespace

HashCacheMap::HashCacheMap(std::initializer_list<Item> items) {
  for (const Item& item : items) insert(item.path, item.entry);
}

const HashCacheMap::Item* HashCacheMap::find_item(std::string_view path) const {
  if (m_ascending) {
    const auto found =
        std::lower_bound(m_items.begin(), m_items.end(), path,
                         [](const Item& item, std::string_view key) { return item.path < key; });
    return found != m_items.end() && found->path == path ? &*found : nullptr;
  }
  const std::size_t mask = m_index.size() - 1;
  for (std::size_t slot = hash_of(path) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t held = m_index[slot];
    if (held == 0) return nullptr;
    const Item& item = m_items[held - 1];
    if (item.path == path) return &item;
  }
}

const ClientHashCacheEntry* HashCacheMap::find(std::string_view path, std::size_t& hint) const {
  // Two workers take the scan list's files in turn, so the next key a worker asks for is
  // usually one to three items on.
  constexpr std::size_t k_near = 4;
  for (std::size_t i = hint; i < m_items.size() && i < hint + k_near; ++i) {
    if (m_items[i].path == path) {
      hint = i + 1;
      return &m_items[i].entry;
    }
  }
  const Item* item = find_item(path);
  if (item == nullptr) return nullptr;
  hint = static_cast<std::size_t>(item - m_items.data()) + 1;
  return &item->entry;
}

void HashCacheMap::insert(std::string_view path, ClientHashCacheEntry entry) {
  if (m_ascending) {
    if (m_items.empty() || m_items.back().path < path) {
      m_items.push_back(Item{path, std::move(entry)});
      return;
    }
    if (m_items.back().path == path) {
      m_items.back().entry = std::move(entry);  // a later entry for the same key wins
      return;
    }
    if (Item* earlier = const_cast<Item*>(find_item(path))) {
      earlier->entry = std::move(entry);
      return;
    }
    // The first key out of order: from here on the index finds the keys.
    m_ascending = false;
  }
  if ((m_items.size() + 1) * 2 > m_index.size()) grow_index();
  const std::size_t mask = m_index.size() - 1;
  std::size_t slot = hash_of(path) & mask;
  for (; m_index[slot] != 0; slot = (slot + 1) & mask) {
    Item& item = m_items[m_index[slot] - 1];
    if (item.path == path) {
      item.entry = std::move(entry);
      return;
    }
  }
  if (m_items.size() >= 0xFFFFFFFFu) throw std::length_error("too many cache entries");
  m_items.push_back(Item{path, std::move(entry)});
  m_index[slot] = static_cast<std::uint32_t>(m_items.size());
}

void HashCacheMap::reserve(std::size_t count) { platform::reserve_large(m_items, count); }

void HashCacheMap::absorb(HashCacheMap&& later) {
  m_texts.absorb(std::move(later.m_texts));
  // Pieces of one stored document follow each other in key order: they are joined as they are.
  if (m_ascending && later.m_ascending &&
      (m_items.empty() || later.m_items.empty() ||
       m_items.back().path < later.m_items.front().path)) {
    m_items.insert(m_items.end(), later.m_items.begin(), later.m_items.end());
  } else {
    for (Item& item : later.m_items) insert(item.path, std::move(item.entry));
  }
  later.clear();
}

void HashCacheMap::grow_index() {
  std::size_t size = m_index.empty() ? 16 : m_index.size() * 2;
  while (size < (m_items.size() + 1) * 2) size *= 2;
  m_index.assign(size, 0);
  const std::size_t mask = size - 1;
  for (std::size_t i = 0; i < m_items.size(); ++i) {
    std::size_t slot = hash_of(m_items[i].path) & mask;
    while (m_index[slot] != 0) slot = (slot + 1) & mask;
    m_index[slot] = static_cast<std::uint32_t>(i + 1);
  }
}

std::vector<const HashCacheMap::Item*> HashCacheMap::items_in_key_order() const {
  std::vector<const Item*> order;
  order.reserve(m_items.size());
  for (const Item& item : m_items) order.push_back(&item);
  std::sort(order.begin(), order.end(),
            [](const Item* a, const Item* b) { return a->path < b->path; });
  return order;
}

bool operator==(const HashCacheMap& a, const HashCacheMap& b) {
  if (a.size() != b.size()) return false;
  for (const HashCacheMap::Item& item : a.m_items) {
    const ClientHashCacheEntry* other = b.find(item.path);
    if (other == nullptr || !(*other == item.entry)) return false;
  }
  return true;
}

}  // namespace quendal
