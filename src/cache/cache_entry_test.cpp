#include "cache/cache_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cache/cache_document.h"
#include "test_support.h"

namespace quendal {
namespace {

// Key orders the map must handle, each with the same keys: some share a 200-byte prefix and
// differ only at the end, and the later of two entries under one key must win.
std::vector<std::string> keys_in_order(std::string_view order) {
  std::vector<std::string> keys;
  const std::string prefix(200, 'p');
  for (int i = 0; i < 3000; ++i) {
    // Built piece by piece: GCC 12 misreads a chain of + here.
    std::string key = i % 3 == 0 ? prefix : "d";
    key += std::to_string(i % 3 == 0 ? i : i % 40);
    key += "/f";
    key += std::to_string(i);
    keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end());
  if (order == "descending") std::reverse(keys.begin(), keys.end());
  if (order == "random") std::shuffle(keys.begin(), keys.end(), std::mt19937(8));
  if (order == "ascending then one early") std::rotate(keys.begin(), keys.end() - 1, keys.end());
  // Every tenth key again, later, with another entry.
  for (std::size_t i = 0; i < 3000; i += 10) keys.push_back(keys[i]);
  return keys;
}

TEST(HashCacheMap, KeepsOneEntryPerKeyWhateverOrderTheKeysArriveIn) {
  for (const char* order : {"ascending", "descending", "random", "ascending then one early"}) {
    const std::vector<std::string> keys = keys_in_order(order);
    HashCacheMap map;
    std::map<std::string, std::uint64_t> expected;  // key: size of the entry that must win
    for (std::size_t i = 0; i < keys.size(); ++i) {
      map.insert(keys[i], ClientHashCacheEntry{i, std::nullopt, "x"});
      expected[keys[i]] = i;
    }
    ASSERT_EQ(map.size(), expected.size()) << order;
    std::vector<std::string> visited;
    map.for_each_in_key_order([&](const HashCacheMap::Item& item) {
      visited.emplace_back(item.path);
      EXPECT_EQ(item.entry.size, expected[visited.back()]) << order;
    });
    std::vector<std::string> ascending;
    for (const auto& [key, size] : expected) ascending.push_back(key);
    EXPECT_EQ(visited, ascending) << order;
    // Looked up from the front, from the back and with a hint that is far off.
    std::size_t hint = 0;
    for (const std::string& key : ascending) {
      const ClientHashCacheEntry* found = map.find(key, hint);
      ASSERT_NE(found, nullptr) << order << " " << key;
      EXPECT_EQ(found->size, expected[key]);
    }
    hint = 12345;
    for (auto key = ascending.rbegin(); key != ascending.rend(); ++key) {
      ASSERT_NE(map.find(*key, hint), nullptr) << order << " " << *key;
    }
    for (const std::string& missing : {std::string(), std::string("d1"), std::string("d1/f"),
                                       std::string("d1/f10"), std::string(200, 'p') + "/"}) {
      EXPECT_EQ(map.find(missing), nullptr) << order << " " << missing;
    }
  }
}

TEST(CacheDocument, ALargeCacheInWhichALaterDuplicateWinsEncodesInKeyOrder) {
  const std::vector<std::string> keys = keys_in_order("random");
  std::string text = R"({"schemaVersion": "s", "clientRoot": "", "entries": {)";
  std::map<std::string, std::size_t> expected;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) text += ',';
    text += '"' + keys[i] + R"(": {"size": )" + std::to_string(i) + R"(, "sha256": "s"})";
    expected[keys[i]] = i;
  }
  text += "}}";
  Result<ClientHashCacheDocument> document = parse_hash_cache_document(text);
  ASSERT_TRUE(document.ok()) << document.error();
  Result<std::string> encoded = encode_hash_cache_document(*document);
  ASSERT_TRUE(encoded.ok());
  std::string entries;
  for (const auto& [key, size] : expected) {
    entries += entries.empty() ? "\n" : ",\n";
    entries += "    \"" + key + "\": {\n      \"size\": " + std::to_string(size) +
               ",\n      \"modifiedUnixSeconds\": null,\n      \"sha256\": \"s\"\n    }";
  }
  EXPECT_EQ(*encoded,
            "{\n  \"schemaVersion\": \"s\",\n  \"clientRoot\": \"\",\n"
            "  \"manifestSignature\": null,\n  \"generatedAt\": null,\n"
            "  \"entries\": {" +
                entries + "\n  }\n}");
}

}  // namespace
}  // namespace quendal
