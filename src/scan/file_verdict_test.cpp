#include "scan/file_verdict.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <sstream>

#include "scan/hash_client_file.h"
#include "test_support.h"

namespace quendal {
namespace {

using test::k_sha256_abc;
using test::k_sha256_empty;

constexpr std::int64_t k_2026_01_31 = 1769817600;
constexpr std::uint64_t k_max = std::numeric_limits<std::uint64_t>::max();

// `path` and a `sha256` that is not a hex digest must outlive the entry.
UpdateManifestFile entry(std::string_view path, std::uint64_t size, std::string_view sha256,
                         UpdateManifestFilePolicy policy = UpdateManifestFilePolicy::required) {
  return UpdateManifestFile{path, size, DigestText::from_text(sha256), "blobs/x", policy};
}

// A client directory with its repair-if-missing set and loaded cache.
struct Client {
  test::TempDir root;
  HashCacheMap cache;
  PathSet repair_if_missing;

  // Writes `relative`, last written at 2026-01-31T00:00:00.7Z.
  void add(const std::string& relative, std::string_view content) {
    test::write_file(root.path(relative), content);
    test::set_modified_time(root.path(relative), k_2026_01_31, 700000000);
  }
  FileScanOutcome outcome(const UpdateManifestFile& file) const {
    return hash_client_file(file, HashJobContext{root.path(), &cache, &repair_if_missing});
  }
  // The verdict for `file` as one line: status, actual size and digest, whether the digest
  // came from the cache, the repair reason and the refreshed cache entry; "-" for none.
  std::string verdict(const UpdateManifestFile& file) const {
    const FileScanOutcome o = outcome(file);
    if (o.failure) return o.failure->message;
    EXPECT_EQ(o.file.entry, &file);
    EXPECT_EQ(o.repair ? o.repair->entry : &file, &file);
    std::ostringstream text;
    text << file_status_name(o.file.status) << ' ';
    text << (o.file.actual_size ? std::to_string(*o.file.actual_size) : "-") << ' '
         << (o.file.actual_sha256 ? o.file.actual_sha256->text() : "-");
    text << (o.file.used_cached_hash ? " cached " : " hashed ");
    text << (o.repair ? repair_reason_name(o.repair->reason) : "-") << ' ';
    if (!o.file.actual_sha256) return text.str() + "-";
    text << '{' << *o.file.actual_size << ','
         << (o.modified_unix_seconds ? std::to_string(*o.modified_unix_seconds) : "null") << ','
         << o.file.actual_sha256->text() << '}';
    return text.str();
  }
};

const std::string k_abc(k_sha256_abc);

TEST(HashClientFile, AMissingFileIsMissingWithARepairAction) {
  Client client;
  client.add("file.pak", "abc");
  for (const char* path : {"gone.pak", "file.pak/child", "no/such/dir.pak"}) {
    EXPECT_EQ(client.verdict(entry(path, 3, k_abc)), "missing - - hashed missing -") << path;
  }
}

TEST(HashClientFile, AMetadataFailureOtherThanNotFoundFailsTheFile) {
  Client client;
  const std::string path = "data/" + test::refused_name();
  std::filesystem::create_directory(client.root.path("data"));
  EXPECT_TRUE(
      test::is_failure_text(client.verdict(entry(path, 3, k_abc)),
                            "Failed to read metadata for '" + client.root.disk_path(path) + "': ",
                            test::k_refused_name_cause, test::k_refused_name_error));
}

TEST(HashClientFile, APreservedFileIsHealthyWhenPresentWithoutAnyComparison) {
  Client client;
  client.repair_if_missing = {"config/user.ini", "config/gone.ini"};
  client.add("Config/User.ini", "sixteen bytes...");
  client.cache.insert("Config\\User.ini",
                      {16, k_2026_01_31, DigestText::from_text(k_abc)});  // not consulted
  EXPECT_EQ(client.verdict(entry("Config\\User.ini", 3, k_abc)), "healthy 16 - hashed - -");
  EXPECT_EQ(client.verdict(entry("config/GONE.ini/", 3, k_abc)), "missing - - hashed missing -");
}

TEST(HashClientFile, AnotherLengthIsASizeMismatchWhateverTheCacheHolds) {
  Client client;
  client.add("short.pak", "ab");
  client.cache.insert("short.pak",
                      {2, k_2026_01_31, DigestText::from_text(k_abc)});  // claims the listed digest
  EXPECT_EQ(client.verdict(entry("short.pak", 3, k_abc)), "modified 2 - hashed size_mismatch -");
}

TEST(HashClientFile, ComparesTheDigestIgnoringAsciiCaseOnly) {
  Client client;
  client.add("Data/Textures/a.pak", "abc");
  client.add("empty.bin", "");
  const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  EXPECT_EQ(client.verdict(entry("Data\\Textures\\a.pak", 3, upper)),
            "healthy 3 " + k_abc + " hashed - {3,1769817600," + k_abc + "}");
  EXPECT_EQ(client.verdict(entry("empty.bin", 0, k_sha256_empty)),
            "healthy 0 " + std::string(k_sha256_empty) + " hashed - {0,1769817600," +
                std::string(k_sha256_empty) + "}");
  for (const std::string& listed : {k_abc + " ", " " + k_abc, std::string("abc")}) {
    EXPECT_EQ(client.verdict(entry("Data/Textures/a.pak", 3, listed)),
              "modified 3 " + k_abc + " hashed hash_mismatch {3,1769817600," + k_abc + "}")
        << listed;
  }
}

TEST(HashClientFile, AWrongDigestPlantedInTheCacheIsUsedAndMismatches) {
  Client client;
  client.add("a.pak", "abc");
  client.cache.insert("a.pak", {3, k_2026_01_31, "planted"});
  EXPECT_EQ(client.verdict(entry("a.pak", 3, k_abc)),
            "modified 3 planted cached hash_mismatch {3,1769817600,planted}");
}

TEST(HashClientFile, AFileBeforeTheEpochRefreshesItsEntryWithoutASecond) {
  Client client;
  client.add("old.pak", "abc");
  test::set_modified_time(client.root.path("old.pak"), -1, 500000000);
  EXPECT_EQ(client.verdict(entry("old.pak", 3, k_abc)),
            "healthy 3 " + k_abc + " hashed - {3,null," + k_abc + "}");
}

TEST(HashClientFile, AnEntryThatExistsButCannotBeOpenedFailsTheFile) {
  Client client;
  std::filesystem::create_directory(client.root.path("dir.pak"));
  // A directory of the listed length passes the size test and fails at the open.
  const auto metadata = platform::file_metadata(client.root.path("dir.pak"));
  ASSERT_TRUE(metadata.ok() && metadata->has_value());
  // ERROR_DIRECTORY_NOT_SUPPORTED on Windows.
  EXPECT_TRUE(test::is_failure_text(
      client.verdict(entry("dir.pak", (*metadata)->length, "x")),
      "Failed to open '" + client.root.disk_path("dir.pak") + "': ", "Is a directory", 336));
}

// A successful outcome for `file` as the verdict would build it.
FileScanOutcome outcome(const UpdateManifestFile& file, FileStatus status,
                        std::optional<RepairReason> reason = {},
                        std::optional<ClientHashCacheEntry> refreshed = {}) {
  FileScanOutcome result;
  result.file.entry = &file;
  result.file.status = status;
  if (reason) result.repair = ClientScanRepairAction{&file, *reason};
  if (refreshed) {
    result.file.actual_size = refreshed->size;
    result.file.actual_sha256 = refreshed->sha256;
    result.modified_unix_seconds = refreshed->modified_unix_seconds;
  }
  return result;
}

TEST(FoldOutcomes, CountsListsAndRefreshesInScanListOrder) {
  using P = UpdateManifestFilePolicy;
  const std::vector<UpdateManifestFile> f = {
      entry("a", 10, "x", P::critical),   entry("b", 100, "x", P::optional),
      entry("c", 1000, "x", P::critical), entry("d", 10000, "x"),
      entry("e", 5, "x", P::optional),    entry("d", 10000, "x", P::critical),
  };
  std::vector<FileScanOutcome> outcomes;
  outcomes.push_back(outcome(f[0], FileStatus::healthy, {}, ClientHashCacheEntry{10, 1, "a"}));
  outcomes.push_back(outcome(f[1], FileStatus::missing, RepairReason::missing));
  outcomes.push_back(outcome(f[2], FileStatus::modified, RepairReason::size_mismatch));
  outcomes.push_back(outcome(f[3], FileStatus::modified, RepairReason::hash_mismatch,
                             ClientHashCacheEntry{10000, 2, "d1"}));
  outcomes.push_back(outcome(f[4], FileStatus::healthy));
  outcomes.push_back(outcome(f[5], FileStatus::healthy, {}, ClientHashCacheEntry{10000, {}, "d2"}));

  Result<ScanFold> fold = fold_outcomes(std::move(outcomes));
  ASSERT_TRUE(fold.ok()) << fold.error();
  const ClientScanSummary& s = fold->summary;
  // Healthy critical files count as no mismatch; the later entry under one path wins.
  EXPECT_EQ(
      (std::vector<std::uint64_t>{s.expected_files, s.healthy_files, s.missing_files,
                                  s.modified_files, s.critical_mismatches, s.bytes_to_download}),
      (std::vector<std::uint64_t>{6, 3, 1, 2, 1, 11100}));
  std::string files;
  for (const ClientScanFile& file : fold->files) files += file.entry->path;
  EXPECT_EQ(files, "abcded");
  ASSERT_EQ(fold->files[5].entry, &f[5]);
  std::string repairs;
  for (const ClientScanRepairAction& a : fold->repair_actions) {
    repairs += std::string(a.entry->path) + ":" + std::string(repair_reason_name(a.reason)) + " ";
  }
  EXPECT_EQ(repairs, "b:missing c:size_mismatch d:hash_mismatch ");
  EXPECT_EQ(fold->refreshed_cache, (HashCacheMap{{"a", {10, 1, "a"}}, {"d", {10000, {}, "d2"}}}));
}

TEST(FoldOutcomes, FailsWithTheFirstFailureInScanListOrder) {
  const UpdateManifestFile file = entry("a", 1, "x");
  std::vector<FileScanOutcome> outcomes;
  outcomes.push_back(outcome(file, FileStatus::missing, RepairReason::missing));
  outcomes.push_back(FileScanOutcome{Failure{"third"}, {}, {}, {}});
  outcomes.push_back(outcome(file, FileStatus::healthy));
  outcomes.push_back(FileScanOutcome{Failure{"fifth"}, {}, {}, {}});
  Result<ScanFold> fold = fold_outcomes(std::move(outcomes));
  ASSERT_FALSE(fold.ok());
  EXPECT_EQ(fold.error(), "third");
  EXPECT_EQ(fold_outcomes({})->summary.expected_files, 0u);
}

TEST(FoldOutcomes, BytesToDownloadStopsAtTheLargestUnsigned64BitValue) {
  const std::pair<std::vector<std::uint64_t>, std::uint64_t> cases[] = {
      {{k_max - 10, 9}, k_max - 1}, {{k_max - 10, 10}, k_max},         {{k_max - 10, 11}, k_max},
      {{k_max - 1, 5, 7}, k_max},   {{1ull << 63, 1ull << 63}, k_max}, {{k_max, k_max, 0}, k_max},
  };
  for (const auto& [sizes, bytes] : cases) {
    std::vector<UpdateManifestFile> files;
    for (std::uint64_t size : sizes) files.push_back(entry("f", size, "x"));
    std::vector<FileScanOutcome> outcomes;
    for (const UpdateManifestFile& f : files) {
      outcomes.push_back(outcome(f, FileStatus::missing, RepairReason::missing));
    }
    Result<ScanFold> fold = fold_outcomes(std::move(outcomes));
    ASSERT_TRUE(fold.ok());
    EXPECT_EQ(fold->summary.bytes_to_download, bytes) << testing::PrintToString(sizes);
  }
}

}  // namespace
}  // namespace quendal
