#include "cache/hash_cache.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>

#include "platform/clock.h"
#include "scan/path_rules.h"
#include "test_support.h"

namespace quendal {
namespace {

namespace fs = std::filesystem;
using test::failed_with;
using test::list_directory;

constexpr std::int64_t k_2026_01_31 = 1769817600;

// Succeeds when `result` failed with `fixed(N)` and then `posix_cause`, for a whole second N of
// the clock between `from` and `to`.
template <typename T>
testing::AssertionResult failed_in_second(const Result<T>& result, std::int64_t from,
                                          std::int64_t to,
                                          const std::function<std::string(std::string)>& fixed,
                                          std::string_view posix_cause) {
  if (result.ok()) return testing::AssertionFailure() << "succeeded";
  for (std::int64_t n = from; n <= to; ++n) {
    if (test::is_failure_text(result.error(), fixed(std::to_string(n)), posix_cause)) {
      return testing::AssertionSuccess();
    }
  }
  return testing::AssertionFailure()
         << result.error() << "\n  expected: " << fixed(std::to_string(from)) << posix_cause;
}

std::int64_t now_seconds() { return now_utc().seconds; }

TEST(CacheSiblingPath, ReplacesTheExtensionOfTheFinalComponent) {
  const std::pair<const char*, const char*> cases[] = {
      {"cache.json", "cache.json.tmp-7"},
      {"hashes", "hashes.json.tmp-7"},
      {"hashes.dat", "hashes.json.tmp-7"},
      {"a.b.json", "a.b.json.tmp-7"},
      {".hashes", ".hashes.json.tmp-7"},
      {"cache.", "cache.json.tmp-7"},
      {"dir.d/cache.json", "dir.d/cache.json.tmp-7"},
      {"dir.d/hashes", "dir.d/hashes.json.tmp-7"},
      {"/var/lib/q/.hashes.dat", "/var/lib/q/.hashes.json.tmp-7"},
  };
  for (const auto& [cache, sibling] : cases) {
    EXPECT_EQ(cache_sibling_path(cache, "json.tmp-7"), sibling);
  }
}

TEST(ManifestFingerprint, JoinsTrimmedChannelReleaseSecondsAndSignature) {
  UpdateManifestDocument manifest;
  manifest.channel = " live ";
  manifest.release_version = "1.2.0";
  manifest.published_at = Instant{k_2026_01_31, 0};
  manifest.signature.signature = "sig";
  manifest.signature.key_id = "not part of it";
  EXPECT_EQ(manifest_fingerprint(manifest), "live:1.2.0:1769817600:sig");

  manifest.channel = "\u3000a:b\t";
  manifest.release_version = " 2 ";
  manifest.published_at = Instant{-1, 500000000};  // 1969-12-31T23:59:59.5Z
  manifest.signature.signature = "\u00a0s i g\n";
  EXPECT_EQ(manifest_fingerprint(manifest), "a:b:2:-1:s i g");
}

// `text` as the content of a JSON string; the paths here hold no other character to escape.
std::string json_text(std::string_view text) {
  std::string escaped;
  for (char c : text) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return escaped;
}

// A temporary directory holding a client directory "Client" and the cache "cache.json".
struct CacheSetup {
  test::TempDir temp;
  std::string cache = temp.path("cache.json");
  std::string client = temp.path("Client");
  std::string canonical_client;  // the client root the tool resolves `client` to

  CacheSetup() {
    fs::create_directory(client);
    canonical_client = test::client_root(client);
  }

  // Writes a cache document with one entry, of schema `schema` for client root `root` (both
  // already escaped for JSON), and loads it for `client_dir` (the client directory by default).
  Result<LoadedHashCache> load(const std::string& root,
                               const std::string& schema = "velor-tirn-client-hash-cache.v2",
                               std::optional<std::string> client_dir = {}) {
    test::write_file(cache,
                     R"({"schemaVersion": ")" + schema + R"(", "clientRoot": ")" + root +
                         R"(", "manifestSignature": "beta:0.9:1:other", "entries": )"
                         R"({"a.pak": {"size": 3, "modifiedUnixSeconds": 5, "sha256": "s"}}})");
    return load_hash_cache(cache, resolve_client_root(client_dir.value_or(client)));
  }
};

const HashCacheMap k_stored_entries = {{"a.pak", {3, 5, "s"}}};

TEST(LoadHashCache, NoReadableMetadataGivesNoEntriesSilently) {
  CacheSetup setup;
  test::write_file(setup.temp.path("file"), "x");
  for (const std::string& path : {std::string("none.json"), std::string("no/such/dir/cache.json"),
                                  std::string("file/cache.json"), test::refused_name()}) {
    Result<LoadedHashCache> loaded = load_hash_cache(setup.temp.path(path), setup.client);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    EXPECT_TRUE(loaded->entries.empty());
    EXPECT_EQ(loaded->warning, std::nullopt);
  }
  EXPECT_EQ(list_directory(setup.temp.path()), (std::vector<std::string>{"Client", "file"}));
}

TEST(LoadHashCache, AFileThatCannotBeReadFailsTheLoad) {
  CacheSetup setup;
  fs::create_directory(setup.cache);
  EXPECT_TRUE(failed_with(load_hash_cache(setup.cache, setup.client),
                          "Failed to read cache '" + setup.cache + "': ", "Is a directory"));
  EXPECT_EQ(list_directory(setup.temp.path()), (std::vector<std::string>{"Client", "cache.json"}));
}

TEST(LoadHashCache, ACorruptedCacheIsSetAsideByteForByteAndRemoved) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "incomplete JSON at line 1, column 1"},
      {"{not json", "syntax error at line 1, column 2"},
      // Corrupted, not outdated, even though the schema is another.
      {R"({"schemaVersion":"velor-tirn-client-hash-cache.v1","clientRoot":"","entries":[]})",
       "key 'entries' must be an object at line 1, column 78"},
      {R"({"clientRoot":"r","entries":{}})",
       "missing required key 'schemaVersion' at line 1, column 31"},
      // A torn or bit-flipped file is no more than corrupted.
      {"{\"clientRoot\":\"r\xff\"}", "syntax error at line 1, column 17"},
  };
  for (const auto& [content, fault] : cases) {
    CacheSetup setup;
    test::write_file(setup.cache, content);
    const std::int64_t before = now_seconds();
    Result<LoadedHashCache> loaded = load_hash_cache(setup.cache, setup.client);
    const std::int64_t after = now_seconds();
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    EXPECT_TRUE(loaded->entries.empty());
    EXPECT_EQ(loaded->warning, "Ignoring corrupted client hash cache '" + setup.cache +
                                   "' and rebuilding it: " + fault + "\n");
    const std::vector<std::string> names = list_directory(setup.temp.path());
    ASSERT_EQ(names.size(), 2u) << content;  // Client and the copy; the cache is gone
    ASSERT_TRUE(names[1].starts_with("cache.json.corrupt-")) << names[1];
    const std::int64_t n = std::stoll(names[1].substr(19));
    EXPECT_TRUE(n >= before && n <= after) << names[1];
    EXPECT_EQ(test::read_file(setup.temp.path(names[1])), content);
  }
}

TEST(LoadHashCache, FailsWhenTheCorruptedCacheCannotBeSetAside) {
  CacheSetup setup;
  test::write_file(setup.cache, "{");
  // Directories stand where the copy would go, for this second and the next few.
  const std::int64_t before = now_seconds();
  for (std::int64_t n = before; n <= before + 5; ++n) {
    fs::create_directory(setup.temp.path("cache.json.corrupt-" + std::to_string(n)));
  }
  EXPECT_TRUE(failed_in_second(
      load_hash_cache(setup.cache, setup.client), before, now_seconds(),
      [&](const std::string& n) {
        return "Failed to preserve corrupted cache '" + setup.cache + "' as '" +
               setup.temp.path("cache.json.corrupt-" + n) + "': ";
      },
      "Is a directory"));
  EXPECT_EQ(test::read_file(setup.cache), "{");
}

TEST(LoadHashCache, AnotherSchemaIsIgnoredAndLeftInPlace) {
  CacheSetup setup;
  for (const char* schema : {"velor-tirn-client-hash-cache.v1", "VELOR-TIRN-CLIENT-HASH-CACHE.V2",
                             "velor-tirn-client-hash-cache.v2.1", ""}) {
    Result<LoadedHashCache> loaded = setup.load(json_text(setup.canonical_client), schema);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    EXPECT_TRUE(loaded->entries.empty());
    EXPECT_EQ(loaded->warning, "Ignoring outdated client hash cache '" + setup.cache +
                                   "' with schema '" + schema + "'.\n");
    EXPECT_NE(test::read_file(setup.cache).find(schema), std::string::npos);
  }
  Result<LoadedHashCache> loaded =
      setup.load(json_text(setup.canonical_client), " velor-tirn-client-hash-cache.v2\\t\u3000");
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  EXPECT_EQ(loaded->warning, std::nullopt);
  EXPECT_EQ(loaded->entries, k_stored_entries);
}

TEST(LoadHashCache, UsesTheEntriesOnlyForTheSameClientRoot) {
  CacheSetup setup;
  const std::string root = json_text(setup.canonical_client);
  std::string upper = root;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string swapped;  // the root with "/" and "\" swapped
  for (char c : setup.canonical_client) swapped += c == '/' ? '\\' : c == '\\' ? '/' : c;
  // Cannot be resolved: POSIX looks for "Gone" to resolve "Gone/.."; Windows drops "Gone/.."
  // from the text before it looks at the disk, so there the directory itself must be missing.
  const std::string gone = setup.temp.path(test::on_windows() ? "Gone" : "Gone/../Client");
  // Stored root (as JSON text), the client directory as typed, and whether they match.
  const std::tuple<std::string, std::string, bool> cases[] = {
      {root, setup.client, true},
      {root, setup.temp.path("Client/../Client/."), true},
      {upper, setup.client, true},
      {json_text(swapped), setup.client, true},
      {" " + root + "///\\\\ ", setup.client, true},
      {"", setup.client, true},
      {" \u3000", setup.client, true},
      {"\\\\/", setup.client, true},
      {gone, gone, true},  // cannot be resolved: compared as typed
      {root + "/sub", setup.client, false},
      {root + "2", setup.client, false},
      {setup.client + "/..", setup.client, false},
      {"/elsewhere", setup.client, false},
      {root, gone, false},
  };
  for (const auto& [stored, client_dir, same] : cases) {
    Result<LoadedHashCache> loaded =
        setup.load(stored, "velor-tirn-client-hash-cache.v2", client_dir);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    if (same)
      EXPECT_EQ(loaded->entries, k_stored_entries) << stored;
    else
      EXPECT_TRUE(loaded->entries.empty()) << stored;
    if (same) {
      EXPECT_EQ(loaded->warning, std::nullopt) << stored << " for " << client_dir;
    } else {
      EXPECT_EQ(loaded->warning, "Ignoring client hash cache '" + setup.cache +
                                     "' because it targets a different client directory.\n")
          << stored << " for " << client_dir;
    }
    EXPECT_TRUE(fs::exists(setup.cache));
  }
}

ClientHashCacheDocument sample_document() {
  ClientHashCacheDocument document;
  document.schema_version = "velor-tirn-client-hash-cache.v2";
  document.client_root = "/srv/client";
  document.manifest_signature = "live:1.2.0:1769817600:sig";
  document.generated_at = Instant{k_2026_01_31, 0};
  document.entries = {{"a.pak", {3, std::nullopt, "abc"}}};
  return document;
}

constexpr std::string_view k_sample_text =
    "{\n"
    "  \"schemaVersion\": \"velor-tirn-client-hash-cache.v2\",\n"
    "  \"clientRoot\": \"/srv/client\",\n"
    "  \"manifestSignature\": \"live:1.2.0:1769817600:sig\",\n"
    "  \"generatedAt\": \"2026-01-31T00:00:00Z\",\n"
    "  \"entries\": {\n"
    "    \"a.pak\": {\n"
    "      \"size\": 3,\n"
    "      \"modifiedUnixSeconds\": null,\n"
    "      \"sha256\": \"abc\"\n"
    "    }\n"
    "  }\n"
    "}";

TEST(StoreHashCache, CreatesMissingDirectoriesReplacesTheOldFileAndLeavesNothingElse) {
  test::TempDir temp;
  const std::string cache = temp.path("a/b/c/cache.json");
  for (int run = 0; run < 2; ++run) {  // the second run replaces a longer file
    Result<void> stored = store_hash_cache(cache, sample_document());
    ASSERT_TRUE(stored.ok()) << stored.error();
    EXPECT_EQ(test::read_file(cache), k_sample_text);
    EXPECT_EQ(list_directory(temp.path("a/b/c")), (std::vector<std::string>{"cache.json"}));
    test::write_file(cache, std::string(1000, 'x'));
  }
}

TEST(StoreHashCache, ABareFileNameIsWrittenInTheCurrentDirectory) {
  test::TempDir temp;
  test::ScopedCurrentDirectory inside(temp.path());
  Result<void> stored = store_hash_cache("hashes", sample_document());
  ASSERT_TRUE(stored.ok()) << stored.error();
  EXPECT_EQ(test::read_file(temp.path("hashes")), k_sample_text);
  EXPECT_EQ(list_directory(temp.path()), (std::vector<std::string>{"hashes"}));
}

TEST(StoreHashCache, FailsWhenTheDirectoryCannotBeCreatedOrTheDocumentEncoded) {
  test::TempDir temp;
  test::write_file(temp.path("blocker"), "a file where a directory is expected");
  EXPECT_TRUE(failed_with(
      store_hash_cache(temp.path("blocker/sub/cache.json"), sample_document()),
      "Failed to create cache directory '" + temp.path("blocker/sub") + "': ", "Not a directory"));
  ClientHashCacheDocument document = sample_document();
  document.entries.insert("bad\xc3", {1, 1, "s"});
  EXPECT_TRUE(failed_with(
      store_hash_cache(temp.path("cache.json"), document),
      "Failed to encode cache '" + temp.path("cache.json") + "': string is not valid UTF-8"));
  EXPECT_EQ(list_directory(temp.path()), (std::vector<std::string>{"blocker"}));
}

TEST(StoreHashCache, FailsWhenTheTemporaryFileCannotBeWrittenAndKeepsTheOldCache) {
  test::TempDir temp;
  // The longest name a component may have: its temporary sibling is longer still.
  const std::string name(255, 'c');
  test::write_file(temp.path(name), "old");
  const std::int64_t before = now_seconds();
  EXPECT_TRUE(failed_in_second(
      store_hash_cache(temp.path(name), sample_document()), before, now_seconds(),
      [&](const std::string& n) {
        return "Failed to write temporary cache '" + temp.path(name + ".json.tmp-" + n) + "': ";
      },
      "File name too long"));
  EXPECT_EQ(test::read_file(temp.path(name)), "old");
}

TEST(StoreHashCache, FailsWhenTheOldCacheCannotBeRemovedAndKeepsTheNewDocument) {
  test::TempDir temp;
  fs::create_directory(temp.path("cache.json"));
  EXPECT_TRUE(
      failed_with(store_hash_cache(temp.path("cache.json"), sample_document()),
                  "Failed to replace cache '" + temp.path("cache.json") + "': ", "Is a directory"));
  const std::vector<std::string> names = list_directory(temp.path());
  ASSERT_EQ(names.size(), 2u);
  ASSERT_TRUE(names[1].starts_with("cache.json.tmp-")) << names[1];
  EXPECT_EQ(test::read_file(temp.path(names[1])), k_sample_text);
}

TEST(StoreHashCache, FailsWhenTheTemporaryFileCannotBeRenamedAndKeepsTheNewDocument) {
  test::TempDir temp;
  // Too long a name for the cache, but its extension goes, so the temporary name is short.
  const std::string cache = temp.path("c." + std::string(260, 'x'));
  const std::int64_t before = now_seconds();
  EXPECT_TRUE(failed_in_second(
      store_hash_cache(cache, sample_document()), before, now_seconds(),
      [&](const std::string& n) {
        return "Failed to finalize cache '" + cache + "' from '" + temp.path("c.json.tmp-" + n) +
               "': ";
      },
      "File name too long"));
  const std::vector<std::string> names = list_directory(temp.path());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(test::read_file(temp.path(names[0])), k_sample_text);
}

}  // namespace
}  // namespace quendal
