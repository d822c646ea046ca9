#include "scan/file_hashing.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace quendal {
namespace {

using test::failed_with;
using test::k_sha256_abc;
using test::k_sha256_empty;

constexpr std::int64_t k_2026_01_31 = 1769817600;

// 20 MiB and a bit of test::patterned_content, and its first 8 MiB (one full read buffer).
constexpr std::size_t k_big_size = 20 * 1024 * 1024 + 12345;
constexpr std::string_view k_big_sha256 =
    "02557aefdb31acff40e38e999980fbf38ea2ef6c1c875338af5e0c92b842869c";
constexpr std::string_view k_one_buffer_sha256 =
    "9187d57afda2d70e8455679cf35baa2542df387a4e153047bcadf6e436d16512";

// test::patterned_content of sizes at the edges of the read window (8 MiB), by Python's hashlib.
constexpr std::size_t k_window = 8388608;
const std::pair<std::size_t, std::string_view> k_window_edges[] = {
    {k_window - 1, "1ee270f5c34baae16785d1acbd9ff39d10f182bcc2613a3a4d699c5eb5d8f425"},
    {k_window, "9187d57afda2d70e8455679cf35baa2542df387a4e153047bcadf6e436d16512"},
    {k_window + 1, "76864a1ea4408c089ac5422261c811fccf673d27b2b217d72c7e28c25a872a13"},
    {2 * k_window, "f2dd4916ab61153c29b69f2af02d1ab0d7bccb7ce0f97143a8fc5be52a0fe18f"},
    {2 * k_window + 1, "ce79a003e6df20a5dfc9edb91a6ee266587d4d5b51f3a41da19c7d194dbee86c"},
};
constexpr std::string_view k_sha256_abcd =
    "88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589";

// A read-ahead that is on from the start, as in a cold scan, with no scan list of its own: the
// job's side of it (timing reads, asking for the windows ahead) is what the content sees.
class ActiveReadAhead {
 public:
  ActiveReadAhead()
      : m_context{"/nonexistent", &m_cache, &m_repair},
        m_read_ahead(m_scan_list, m_context, ReadAheadMode::always, ReadAhead::default_limits(2)) {}
  ReadAhead* get() { return &m_read_ahead; }

 private:
  ScanList m_scan_list;
  HashCacheMap m_cache;
  PathSet m_repair;
  HashJobContext m_context;
  ReadAhead m_read_ahead;
};

TEST(HashFileContent, GivesTheSha256DigestAsLowerCaseHex) {
  test::TempDir temp;
  const std::pair<std::string, std::string_view> cases[] = {
      {"abc", k_sha256_abc},
      {"", k_sha256_empty},
      {"hello\n", "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03"},
  };
  for (const auto& [content, sha256] : cases) {
    test::write_file(temp.path("f"), content);
    Result<DigestText> digest = hash_file_content(temp.path("f"));
    ASSERT_TRUE(digest.ok()) << digest.error();
    EXPECT_EQ(digest->text(), sha256) << content;
  }
}

TEST(HashFileContent, HashesFilesLongerThanTheReadBufferWhole) {
  test::TempDir temp;
  const std::string content = test::patterned_content(k_big_size);
  test::write_file(temp.path("big"), content);
  test::write_file(temp.path("one"), std::string_view(content).substr(0, k_read_buffer_size));
  Result<DigestText> big = hash_file_content(temp.path("big"));
  Result<DigestText> one = hash_file_content(temp.path("one"));
  ASSERT_TRUE(big.ok()) << big.error();
  ASSERT_TRUE(one.ok()) << one.error();
  EXPECT_EQ(big->text(), k_big_sha256);
  EXPECT_EQ(one->text(), k_one_buffer_sha256);
}

TEST(HashFileContent, DigestsStayRightAtTheEdgesOfTheReadWindow) {
  test::TempDir temp;
  const std::string content = test::patterned_content(2 * k_window + 1);
  ActiveReadAhead read_ahead;
  for (const auto& [size, sha256] : k_window_edges) {
    test::write_file(temp.path("f"), std::string_view(content).substr(0, size));
    // Without the length (every file read until a read yields 0), with it, and with the
    // read-ahead asking for the windows ahead.
    const ContentReading readings[] = {{}, {size, nullptr}, {size, read_ahead.get()}};
    for (const ContentReading& reading : readings) {
      Result<DigestText> digest = hash_file_content(temp.path("f"), reading);
      ASSERT_TRUE(digest.ok()) << digest.error();
      EXPECT_EQ(digest->text(), sha256) << size << " " << reading.metadata_length.has_value() << " "
                                        << (reading.read_ahead != nullptr);
    }
  }
}

TEST(HashFileContent, AFileThatChangedAfterItsMetadataIsReadToItsEnd) {
  // The length the metadata step saw, and what the file holds when it is read: whatever it
  // holds is hashed, as when every file is read until a read yields 0.
  test::TempDir temp;
  const std::string content = test::patterned_content(2 * k_window + 1);
  const std::string_view pattern(content);
  const std::tuple<std::uint64_t, std::string_view, std::string_view> cases[] = {
      {3, "abcd", k_sha256_abcd},
      {4, "abc", k_sha256_abc},
      {0, "abc", k_sha256_abc},
      {3, "", k_sha256_empty},
      {k_window, pattern.substr(0, k_window + 1), k_window_edges[2].second},
      {k_window, pattern.substr(0, k_window - 1), k_window_edges[0].second},
      {k_window - 1, pattern.substr(0, k_window), k_window_edges[1].second},
      {2 * k_window, pattern.substr(0, 2 * k_window + 1), k_window_edges[4].second},
      {2 * k_window + 1, pattern.substr(0, k_window + 1), k_window_edges[2].second},
  };
  ActiveReadAhead read_ahead;
  for (const auto& [metadata_length, now, sha256] : cases) {
    test::write_file(temp.path("f"), now);
    for (ReadAhead* ahead : {static_cast<ReadAhead*>(nullptr), read_ahead.get()}) {
      Result<DigestText> digest = hash_file_content(temp.path("f"), {metadata_length, ahead});
      ASSERT_TRUE(digest.ok()) << digest.error();
      EXPECT_EQ(digest->text(), sha256)
          << metadata_length << " " << now.size() << " " << (ahead != nullptr);
    }
  }
}

TEST(HashFileContent, ReportsAFileThatCannotBeOpened) {
  test::TempDir temp;
  std::filesystem::create_directory(temp.path("dir"));
  EXPECT_TRUE(
      failed_with(hash_file_content(temp.path("none")),
                  "Failed to open '" + temp.path("none") + "': ", "No such file or directory"));
  EXPECT_TRUE(failed_with(hash_file_content(temp.path("dir")),
                          "Failed to open '" + temp.path("dir") + "': ", "Is a directory"));
}

TEST(HashFileContent, ReportsAFailedReadAndHashesTheNextFileCleanly) {
  // Reading this process's memory at offset 0 fails: a read fault that works as root.
  const std::string memory = "/proc/self/mem";
  if (!std::filesystem::exists(memory)) GTEST_SKIP() << "needs " << memory;
  test::TempDir temp;
  test::write_file(temp.path("abc"), "abc");
  ActiveReadAhead read_ahead;
  for (ReadAhead* ahead : {static_cast<ReadAhead*>(nullptr), read_ahead.get()}) {
    EXPECT_TRUE(failed_with(hash_file_content(memory, {std::nullopt, ahead}),
                            "Failed to read '/proc/self/mem': ", "Input/output error"));
    Result<DigestText> digest = hash_file_content(temp.path("abc"), {3, ahead});
    ASSERT_TRUE(digest.ok()) << digest.error();
    EXPECT_EQ(digest->text(), k_sha256_abc);
  }
}

// The digest step for the manifest entry "Data/Sky.pak", a file holding "abc" that was last
// written at 2026-01-31T00:00:00.25Z.
class ObtainDigestTest {
 public:
  ObtainDigestTest() {
    test::write_file(m_temp.path("Data/Sky.pak"), "abc");
    set_modified(k_2026_01_31, 250000000);
  }

  void set_modified(std::int64_t seconds, std::int64_t nanoseconds) {
    test::set_modified_time(m_temp.path("Data/Sky.pak"), seconds, nanoseconds);
    m_metadata = **query_file_metadata(m_temp.path("Data/Sky.pak"));
  }

  Result<ObtainedDigest> obtain(const HashCacheMap& cache,
                                const std::string& disk_relative = "Data/Sky.pak") const {
    return obtain_digest(m_file, m_temp.path(disk_relative), m_metadata, cache);
  }

  // Puts another file at the path, as a rename or a link swapped in after the metadata query.
  void replace_with(std::string_view content) {
    test::write_file(m_temp.path("other"), content);
    std::filesystem::rename(m_temp.path("other"), m_temp.path("Data/Sky.pak"));
  }

  const platform::FileMetadata& metadata() const { return m_metadata; }

 private:
  test::TempDir m_temp;
  UpdateManifestFile m_file{"Data/Sky.pak", 3, "abc", "blob", UpdateManifestFilePolicy::required};
  platform::FileMetadata m_metadata;
};

TEST(HashClientFileCache, ReusesAStoredDigestOnlyWhenEverythingMatches) {
  ObtainDigestTest step;
  const std::string abc(k_sha256_abc);
  // Key, stored entry, and the digest obtained: the stored text as it is when it is reused.
  const std::tuple<std::string, ClientHashCacheEntry, std::string> cases[] = {
      {"Data/Sky.pak", {3, k_2026_01_31, "planted"}, "planted"},
      {"Data/Sky.pak", {3, k_2026_01_31, "BA7816BF"}, "BA7816BF"},
      {"Data/Sky.pak", {3, k_2026_01_31, "planted "}, "planted "},
      {"data/sky.pak", {3, k_2026_01_31, "planted"}, abc},
      {"Data/Sky.pak", {4, k_2026_01_31, "planted"}, abc},
      {"Data/Sky.pak", {3, k_2026_01_31 + 1, "planted"}, abc},
      {"Data/Sky.pak", {3, std::nullopt, "planted"}, abc},
      {"Data/Sky.pak", {3, k_2026_01_31, ""}, abc},
      {"Data/Sky.pak", {3, k_2026_01_31, " \u3000"}, abc},
  };
  for (const auto& [key, stored, sha256] : cases) {
    Result<ObtainedDigest> digest = step.obtain({{key, stored}});
    ASSERT_TRUE(digest.ok()) << digest.error();
    EXPECT_EQ(digest->sha256->text(), sha256) << key << " " << stored.sha256;
    EXPECT_EQ(digest->used_cached_hash, sha256 != abc) << key << " " << stored.sha256;
  }
}

TEST(HashClientFileCache, AReusedDigestNeverOpensTheFile) {
  ObtainDigestTest step;
  const HashCacheMap cache = {{"Data/Sky.pak", {3, k_2026_01_31, "planted"}}};
  Result<ObtainedDigest> digest = step.obtain(cache, "gone");
  ASSERT_TRUE(digest.ok()) << digest.error();
  EXPECT_EQ(digest->sha256->text(), "planted");
  const HashCacheMap stale = {{"Data/Sky.pak", {3, k_2026_01_31 + 1, "planted"}}};
  EXPECT_FALSE(step.obtain(stale, "gone").ok());
}

TEST(HashClientFileCache, AFileReplacedAfterItsMetadataIsJudgedAsTheFileThatWasOpened) {
  // The content put at the path between the metadata query and the open, and what the digest
  // step then says: the opened file's digest, or no digest for a size mismatch.
  const std::tuple<std::string_view, std::uint64_t, std::optional<std::string_view>> cases[] = {
      {"xyz", 3, "3608bca1e44ea6c4d268eb6db02260269892c0b42b86bbf1e77a6fa16c3c9282"},
      {"abcd", 4, std::nullopt},
      {"", 0, std::nullopt},
  };
  for (const auto& [content, length, sha256] : cases) {
    ObtainDigestTest step;
    const platform::FileIdentity before = step.metadata().identity;
    step.replace_with(content);
    Result<ObtainedDigest> digest = step.obtain({});
    ASSERT_TRUE(digest.ok()) << digest.error();
    EXPECT_EQ(digest->metadata.length, length) << content;
    EXPECT_NE(digest->metadata.identity, before) << content;
    ASSERT_EQ(digest->sha256.has_value(), sha256.has_value()) << content;
    if (sha256) {
      EXPECT_EQ(digest->sha256->text(), *sha256);
    }
  }
}

TEST(HashClientFileCache, AFileBeforeTheEpochMatchesOnlyAnAbsentSecond) {
  ObtainDigestTest step;
  step.set_modified(-1, 500000000);
  const std::pair<std::optional<std::int64_t>, bool> cases[] = {
      {-1, false}, {0, false}, {std::nullopt, true}};
  for (const auto& [stored, reused] : cases) {
    Result<ObtainedDigest> digest = step.obtain({{"Data/Sky.pak", {3, stored, "planted"}}});
    ASSERT_TRUE(digest.ok());
    EXPECT_EQ(digest->used_cached_hash, reused) << stored.value_or(999);
  }
}

TEST(HashFileContent, CountsItsBytesForTheMonitorAndStopsWhenCancelled) {
  test::TempDir temp;
  test::write_file(temp.path("big"), test::patterned_content(k_big_size));
  test::write_file(temp.path("short"), "abc");
  ScanMonitor monitor;
  const auto hash = [&](const std::string& name, std::uint64_t metadata_length) {
    FileHashProgress progress(&monitor, metadata_length);
    return hash_file_content(temp.path(name), ContentReading{std::nullopt, nullptr, &progress});
  };
  Result<DigestText> whole = hash("big", k_big_size);
  ASSERT_TRUE(whole.ok()) << whole.error();
  EXPECT_EQ(whole->text(), k_big_sha256);
  // A file shorter than its metadata said still ends with hashed bytes equal to bytes to hash.
  ASSERT_TRUE(hash("short", 10).ok());
  ScanProgress progress = monitor.snapshot();
  EXPECT_EQ(progress.bytes_to_hash, k_big_size + 10);
  EXPECT_EQ(progress.bytes_hashed, k_big_size + 10);

  monitor.request_cancel();
  EXPECT_TRUE(failed_with(hash("big", k_big_size), "Scan cancelled."));
  // The state left behind hashes the next file from its start.
  Result<DigestText> after = hash_file_content(temp.path("short"));
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->text(), k_sha256_abc);
  progress = monitor.snapshot();
  EXPECT_EQ(progress.bytes_hashed, progress.bytes_to_hash);
}

TEST(HashClientFiles, ACancelledScanSkipsEveryJobNotYetStarted) {
  test::TempDir temp;
  test::write_file(temp.path("a.txt"), "abc");
  const std::vector<UpdateManifestFile> files = {
      {"a.txt", 3, DigestText::from_text(k_sha256_abc), "b0", UpdateManifestFilePolicy::required},
      {"missing", 1, "x", "b1", UpdateManifestFilePolicy::required},
  };
  const ScanList scan_list = {&files[0], &files[1]};
  const HashCacheMap cache;
  const PathSet repair;
  ScanMonitor monitor;
  std::vector<FileScanOutcome> outcomes =
      hash_client_files(scan_list, HashJobContext{temp.path(), &cache, &repair, &monitor});
  EXPECT_FALSE(outcomes[0].failure || outcomes[1].failure);
  EXPECT_EQ(monitor.snapshot().files_done, 2u);
  EXPECT_EQ(monitor.snapshot().bytes_hashed, 3u);

  monitor.request_cancel();
  outcomes = hash_client_files(scan_list, HashJobContext{temp.path(), &cache, &repair, &monitor});
  for (const FileScanOutcome& outcome : outcomes) {
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->message, "Scan cancelled.");
    EXPECT_EQ(outcome.failure->kind, FailureKind::cancelled);
  }
  EXPECT_EQ(monitor.snapshot().files_done, 2u);
  EXPECT_EQ(monitor.snapshot().bytes_to_hash, 3u);
}

TEST(HashClientFiles, AnEmptyScanListGivesNoOutcomes) {
  const HashCacheMap cache;
  const PathSet repair;
  EXPECT_TRUE(hash_client_files({}, HashJobContext{"/nonexistent", &cache, &repair}).empty());
}

TEST(HashClientFiles, OutcomesFollowScanListOrderAndEveryJobRuns) {
  test::TempDir temp;
  test::write_file(temp.path("big.bin"), test::patterned_content(k_big_size));
  test::write_file(temp.path("a.txt"), "abc");
  test::write_file(temp.path("empty"), "");
  std::filesystem::create_directory(temp.path("sub"));
  const std::string long_name = test::refused_name();
  const std::string sub_long_name = "sub/" + long_name;
  const std::vector<UpdateManifestFile> files = {
      {"big.bin", k_big_size, DigestText::from_text(k_big_sha256), "b0",
       UpdateManifestFilePolicy::required},
      {"a.txt", 3, DigestText::from_text(k_sha256_abc), "b1", UpdateManifestFilePolicy::required},
      {long_name, 1, "x", "b2", UpdateManifestFilePolicy::required},
      {"empty", 0, DigestText::from_text(k_sha256_empty), "b3", UpdateManifestFilePolicy::optional},
      {sub_long_name, 1, "x", "b4", UpdateManifestFilePolicy::required},
      {"missing", 1, "x", "b5", UpdateManifestFilePolicy::required},
      {"a.txt", 3, "other", "b6", UpdateManifestFilePolicy::critical},
  };
  ScanList scan_list;
  for (const UpdateManifestFile& f : files) scan_list.push_back(&f);
  const HashCacheMap cache;
  const PathSet repair;
  const std::string third = "Failed to read metadata for '" + temp.disk_path(long_name) + "': ";
  const std::string fifth =
      "Failed to read metadata for '" + temp.disk_path("sub/" + long_name) + "': ";
  const std::string_view cause = test::k_refused_name_cause;
  const unsigned long error = test::k_refused_name_error;

  // The same outcomes whether the read-ahead stays off, comes on by itself, or runs throughout;
  // and once the scan has returned, no file of it is open any more.
  for (ReadAheadMode mode :
       {ReadAheadMode::off, ReadAheadMode::when_reads_wait, ReadAheadMode::always}) {
    SCOPED_TRACE(static_cast<int>(mode));
    const std::optional<std::size_t> open_before = test::open_handle_count();
    std::vector<FileScanOutcome> outcomes =
        hash_client_files(scan_list, HashJobContext{temp.path(), &cache, &repair}, mode);
    EXPECT_EQ(test::open_handle_count(), open_before);

    ASSERT_EQ(outcomes.size(), files.size());
    for (std::size_t i : {0u, 1u, 3u, 5u, 6u}) {
      EXPECT_FALSE(outcomes[i].failure) << i << ": " << outcomes[i].failure->message;
      EXPECT_EQ(outcomes[i].file.entry, &files[i]) << i;
    }
    EXPECT_EQ(outcomes[0].file.actual_sha256, k_big_sha256);
    EXPECT_EQ(outcomes[1].file.actual_sha256, k_sha256_abc);
    EXPECT_EQ(outcomes[3].file.actual_sha256, k_sha256_empty);
    EXPECT_EQ(outcomes[5].file.status, FileStatus::missing);
    EXPECT_EQ(outcomes[6].file.status, FileStatus::modified);
    ASSERT_TRUE(outcomes[2].failure && outcomes[4].failure);
    EXPECT_TRUE(test::is_failure_text(outcomes[2].failure->message, third, cause, error));
    EXPECT_TRUE(test::is_failure_text(outcomes[4].failure->message, fifth, cause, error));
    EXPECT_TRUE(failed_with(fold_outcomes(std::move(outcomes)), third, cause, error));
  }
}

}  // namespace
}  // namespace quendal
