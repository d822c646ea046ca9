#include "quendal/quendal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli/program.h"
#include "platform/platform.h"
#include "test_support.h"

namespace quendal {
namespace {

using test::k_sha256_abc;

// 20 MiB and a bit of test::patterned_content.
constexpr std::size_t k_big_size = 20 * 1024 * 1024 + 12345;
constexpr std::string_view k_big_sha256 =
    "02557aefdb31acff40e38e999980fbf38ea2ef6c1c875338af5e0c92b842869c";

// What one library scan gave.
struct Outcome {
  int32_t status = QUENDAL_STATUS_PENDING;
  std::string report;
  std::string warning;
  std::string failure;
  std::optional<quendal_summary> summary;
  std::vector<quendal_progress> calls;
  bool calls_on_other_thread = false;
};

using ProgressHandler = std::function<int32_t(const quendal_progress&, quendal_scan*)>;

struct CallbackState {
  Outcome* outcome;
  const ProgressHandler* handler;
  quendal_scan* scan;
  std::thread::id runner;
};

int32_t record_progress(const quendal_progress* progress, void* user_data) {
  auto* state = static_cast<CallbackState*>(user_data);
  state->outcome->calls.push_back(*progress);
  if (std::this_thread::get_id() != state->runner) state->outcome->calls_on_other_thread = true;
  return *state->handler ? (*state->handler)(*progress, state->scan) : 0;
}

std::string text(const char* data, uint64_t length) {
  return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(length));
}

// Runs one scan through the C interface. `before_run` may act on the handle first.
Outcome library_scan(const std::optional<std::string>& client_dir,
                     const std::optional<std::string>& manifest,
                     const std::optional<std::string>& cache, ProgressHandler handler = {},
                     const std::function<void(quendal_scan*)>& before_run = {}) {
  Outcome outcome;
  CallbackState state{&outcome, &handler, nullptr, std::this_thread::get_id()};
  quendal_scan_options options{};
  options.struct_size = sizeof options;
  if (client_dir) options.client_dir = client_dir->data();
  options.client_dir_length = client_dir ? client_dir->size() : 0;
  if (manifest) options.manifest_path = manifest->data();
  options.manifest_path_length = manifest ? manifest->size() : 0;
  if (cache) options.cache_path = cache->data();
  options.cache_path_length = cache ? cache->size() : 0;
  options.progress = record_progress;
  options.user_data = &state;
  quendal_scan* scan = quendal_scan_create(&options);
  if (scan == nullptr) return outcome;
  state.scan = scan;
  if (before_run) before_run(scan);
  outcome.status = quendal_scan_run(scan);
  EXPECT_EQ(quendal_scan_status(scan), outcome.status);
  uint64_t length = 0;
  const char* data = quendal_scan_report(scan, &length);
  outcome.report = text(data, length);
  data = quendal_scan_warning(scan, &length);
  outcome.warning = text(data, length);
  data = quendal_scan_failure(scan, &length);
  outcome.failure = text(data, length);
  quendal_summary summary{};
  summary.struct_size = sizeof summary;
  if (quendal_scan_summary(scan, &summary) == 0) outcome.summary = summary;
  quendal_scan_destroy(scan);
  return outcome;
}

std::string without_scanned_at(const std::string& report) {
  return std::regex_replace(report, std::regex("\"scannedAt\":\"[^\"]*\""), "\"scannedAt\":\"\"");
}

// A client of four files, one of each verdict, and its manifest.
struct Client {
  Client() {
    test::write_file(temp.path("client/a.txt"), "abc");
    test::write_file(temp.path("client/big.bin"), test::patterned_content(k_big_size));
    test::write_file(temp.path("client/short.bin"), "ab");
    test::write_file(temp.path("manifest.json"), manifest_text());
  }

  static std::string entry(std::string_view path, std::uint64_t size, std::string_view sha256,
                           std::string_view policy) {
    return "{\"path\":\"" + std::string(path) + "\",\"size\":" + std::to_string(size) +
           ",\"sha256\":\"" + std::string(sha256) + "\",\"blobPath\":\"b\",\"policy\":\"" +
           std::string(policy) + "\"}";
  }

  static std::string manifest_text() {
    return "{\"schemaVersion\":\"velor-tirn-manifest.v3\",\"channel\":\"live\","
           "\"releaseVersion\":\"1.2.0\",\"publishedAt\":\"2026-01-31T00:00:00Z\","
           "\"hashAlgorithm\":\"sha256\",\"downloadBaseUrl\":\"https://cdn.example.invalid/\","
           "\"files\":[" +
           entry("a.txt", 3, k_sha256_abc, "required") + "," +
           entry("big.bin", k_big_size, k_big_sha256, "critical") + "," +
           entry("short.bin", 5, k_sha256_abc, "required") + "," +
           entry("gone.txt", 7, k_sha256_abc, "optional") +
           "],\"signature\":{\"algorithm\":\"ed25519\",\"keyId\":\"k\",\"signature\":\"s\"}}";
  }

  std::string dir() const { return temp.path("client"); }
  std::string manifest() const { return temp.path("manifest.json"); }
  std::string cache() const { return temp.path("cache/hashes.json"); }

  // The report the program writes for the same inputs.
  std::string program_report(bool with_cache) const {
    std::vector<std::string> arguments = {"--client-dir", dir(),      "--manifest",
                                          manifest(),     "--output", temp.path("program.json")};
    if (with_cache) arguments.insert(arguments.end(), {"--cache", cache()});
    EXPECT_EQ(program_main([&] { return arguments; }), 0);
    return test::read_file(temp.path("program.json"));
  }

  test::TempDir temp;
};

constexpr uint64_t k_hashed_bytes = 3 + k_big_size;  // short.bin fails on its size, unread

TEST(QuendalLibrary, ReportIsTheProgramsReportForTheSameInputs) {
  Client client;
  const Outcome first = library_scan(client.dir(), client.manifest(), std::nullopt);
  ASSERT_EQ(first.status, QUENDAL_STATUS_OK) << first.failure;
  EXPECT_EQ(without_scanned_at(first.report), without_scanned_at(client.program_report(false)));
  EXPECT_NE(first.report.find("\"summary\":{\"expectedFiles\":4,\"healthyFiles\":2,"
                              "\"missingFiles\":1,\"modifiedFiles\":1,\"criticalMismatches\":0,"
                              "\"bytesToDownload\":12}"),
            std::string::npos)
      << first.report;
  ASSERT_TRUE(first.summary);
  EXPECT_EQ(first.summary->expected_files, 4u);
  EXPECT_EQ(first.summary->healthy_files, 2u);
  EXPECT_EQ(first.summary->missing_files, 1u);
  EXPECT_EQ(first.summary->modified_files, 1u);
  EXPECT_EQ(first.summary->critical_mismatches, 0u);
  EXPECT_EQ(first.summary->bytes_to_download, 12u);
  EXPECT_TRUE(first.warning.empty() && first.failure.empty());

  // With a cache the program filled: both take every digest from it.
  (void)client.program_report(true);
  const Outcome cached = library_scan(client.dir(), client.manifest(), client.cache());
  ASSERT_EQ(cached.status, QUENDAL_STATUS_OK) << cached.failure;
  EXPECT_NE(cached.report.find("\"usedCachedHash\":true"), std::string::npos);
  EXPECT_EQ(without_scanned_at(cached.report), without_scanned_at(client.program_report(true)));
}

TEST(QuendalLibrary, FailuresAreTheProgramsMessages) {
  Client client;
  test::write_file(client.temp.path("empty.json"),
                   "{\"schemaVersion\":\"velor-tirn-manifest.v3\",\"channel\":\"live\","
                   "\"releaseVersion\":\"1\",\"publishedAt\":\"2026-01-31T00:00:00Z\","
                   "\"hashAlgorithm\":\"sha256\",\"downloadBaseUrl\":\"u\",\"files\":[],"
                   "\"signature\":{\"algorithm\":\"a\",\"keyId\":\"k\",\"signature\":\"s\"}}");
  const std::string none = client.temp.path("none.json");
  struct Case {
    std::optional<std::string> client_dir, manifest, cache;
    std::string fixed;
    std::string_view posix_cause;
  };
  const Case cases[] = {
      {client.dir(), none, std::nullopt,
       "Failed to read manifest '" + none + "': ", "No such file or directory"},
      {client.dir(), client.temp.path("empty.json"), std::nullopt,
       "Manifest does not list any client files.", ""},
      {std::nullopt, client.manifest(), std::nullopt, "Missing required scan option client_dir",
       ""},
      {client.dir(), std::nullopt, std::nullopt, "Missing required scan option manifest_path", ""},
      {client.dir(), client.manifest(), std::string("c\xff.json"),
       "Scan option cache_path is not valid UTF-8", ""},
      {client.dir(), client.manifest() + std::string(1, '\0') + "x", std::nullopt,
       "Scan option manifest_path holds a NUL character", ""},
  };
  for (const Case& c : cases) {
    const Outcome outcome = library_scan(c.client_dir, c.manifest, c.cache);
    EXPECT_EQ(outcome.status, QUENDAL_STATUS_FAILED) << c.fixed;
    EXPECT_TRUE(test::is_failure_text(outcome.failure, c.fixed, c.posix_cause));
    EXPECT_TRUE(outcome.report.empty() && !outcome.summary) << c.fixed;
  }
  EXPECT_EQ(quendal_scan_create(nullptr), nullptr);
  quendal_scan_options small{};
  small.struct_size = 8;
  EXPECT_EQ(quendal_scan_create(&small), nullptr);
}

TEST(QuendalLibrary, GivesTheCacheWarningWithoutItsLineFeed) {
  Client client;
  test::write_file(client.cache(),
                   "{\"schemaVersion\":\"velor-tirn-client-hash-cache.v1\","
                   "\"clientRoot\":\"\"}");
  const Outcome outcome = library_scan(client.dir(), client.manifest(), client.cache());
  EXPECT_EQ(outcome.status, QUENDAL_STATUS_OK);
  EXPECT_EQ(outcome.warning, "Ignoring outdated client hash cache '" + client.cache() +
                                 "' with schema 'velor-tirn-client-hash-cache.v1'.");
}

TEST(QuendalLibrary, ProgressOnlyGrowsAndEndsAtItsTotals) {
  Client client;
  for (const bool cached : {false, true}) {
    const Outcome outcome = library_scan(client.dir(), client.manifest(), client.cache());
    ASSERT_EQ(outcome.status, QUENDAL_STATUS_OK) << outcome.failure;
    ASSERT_FALSE(outcome.calls.empty());
    EXPECT_FALSE(outcome.calls_on_other_thread);
    std::vector<int32_t> phases;
    for (std::size_t i = 0; i < outcome.calls.size(); ++i) {
      const quendal_progress& now = outcome.calls[i];
      if (phases.empty() || phases.back() != now.phase) phases.push_back(now.phase);
      EXPECT_LE(now.bytes_hashed, now.bytes_to_hash);
      EXPECT_LE(now.files_done, now.files_total);
      if (i == 0) continue;
      const quendal_progress& before = outcome.calls[i - 1];
      EXPECT_GE(now.phase, before.phase);
      EXPECT_GE(now.files_done, before.files_done);
      EXPECT_GE(now.files_total, before.files_total);
      EXPECT_GE(now.bytes_hashed, before.bytes_hashed);
      EXPECT_GE(now.bytes_to_hash, before.bytes_to_hash);
    }
    EXPECT_EQ(phases,
              (std::vector<int32_t>{QUENDAL_PHASE_READING_MANIFEST, QUENDAL_PHASE_LOADING_CACHE,
                                    QUENDAL_PHASE_CHECKING_FILES, QUENDAL_PHASE_STORING_CACHE,
                                    QUENDAL_PHASE_ENCODING}));
    // The second scan takes both digests from the cache: nothing to read.
    const quendal_progress& last = outcome.calls.back();
    EXPECT_EQ(last.files_done, 4u);
    EXPECT_EQ(last.files_total, 4u);
    EXPECT_EQ(last.bytes_to_hash, cached ? 0 : k_hashed_bytes);
    EXPECT_EQ(last.bytes_hashed, last.bytes_to_hash);
  }
  const Outcome uncached = library_scan(client.dir(), client.manifest(), std::nullopt);
  std::vector<int32_t> phases;
  for (const quendal_progress& call : uncached.calls) phases.push_back(call.phase);
  phases.erase(std::unique(phases.begin(), phases.end()), phases.end());
  EXPECT_EQ(phases, (std::vector<int32_t>{QUENDAL_PHASE_READING_MANIFEST,
                                          QUENDAL_PHASE_CHECKING_FILES, QUENDAL_PHASE_ENCODING}));
}

TEST(QuendalLibrary, CancelLeavesTheCacheFileAsItWasUntilTheStoreBegins) {
  Client client;
  (void)client.program_report(true);
  const std::string stored = test::read_file(client.cache());
  struct Case {
    const char* when;
    int32_t phase;  // cancel at the first call of this phase; -1: before the run
    bool at_phase_end;
    int32_t status;
  };
  const Case cases[] = {
      {"before the run", -1, false, QUENDAL_STATUS_CANCELLED},
      {"reading the manifest", QUENDAL_PHASE_READING_MANIFEST, false, QUENDAL_STATUS_CANCELLED},
      {"loading the cache", QUENDAL_PHASE_LOADING_CACHE, true, QUENDAL_STATUS_CANCELLED},
      {"checking files", QUENDAL_PHASE_CHECKING_FILES, false, QUENDAL_STATUS_CANCELLED},
      {"the end of checking", QUENDAL_PHASE_CHECKING_FILES, true, QUENDAL_STATUS_CANCELLED},
      {"storing the cache (too late)", QUENDAL_PHASE_STORING_CACHE, false, QUENDAL_STATUS_OK},
  };
  for (const Case& c : cases) {
    // A completed scan stores a new document: generatedAt at least differs.
    const Outcome outcome = library_scan(
        client.dir(), client.manifest(), client.cache(),
        [&](const quendal_progress& progress, quendal_scan*) -> int32_t {
          return progress.phase == c.phase &&
                 (!c.at_phase_end || progress.files_done == progress.files_total);
        },
        [&](quendal_scan* scan) {
          if (c.phase < 0) quendal_scan_cancel(scan);
        });
    EXPECT_EQ(outcome.status, c.status) << c.when;
    if (c.status == QUENDAL_STATUS_CANCELLED) {
      EXPECT_EQ(outcome.failure, "Scan cancelled.") << c.when;
      EXPECT_TRUE(outcome.report.empty() && !outcome.summary) << c.when;
      EXPECT_EQ(test::read_file(client.cache()), stored) << c.when;
      EXPECT_EQ(test::list_directory(client.temp.path("cache")),
                std::vector<std::string>{"hashes.json"});
    } else {
      EXPECT_NE(test::read_file(client.cache()), stored) << c.when;
    }
  }
}

TEST(QuendalLibrary, CancelFromAnotherThreadStopsTheRunningScan) {
  Client client;
  std::atomic<quendal_scan*> running = nullptr;
  std::atomic<bool> cancelled = false;
  std::thread canceller([&] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (running == nullptr && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (running != nullptr) quendal_scan_cancel(running);
    cancelled = true;
  });
  // The callback waits in the checking phase until the other thread has cancelled, so the scan
  // sees the cancel at the latest when that phase ends.
  const Outcome outcome =
      library_scan(client.dir(), client.manifest(), client.cache(),
                   [&](const quendal_progress& progress, quendal_scan* scan) -> int32_t {
                     if (progress.phase == QUENDAL_PHASE_CHECKING_FILES) {
                       running = scan;
                       while (!cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                     }
                     return 0;
                   });
  canceller.join();
  EXPECT_EQ(outcome.status, QUENDAL_STATUS_CANCELLED);
  EXPECT_EQ(outcome.failure, "Scan cancelled.");
  EXPECT_EQ(test::list_directory(client.temp.path()),
            (std::vector<std::string>{"client", "manifest.json"}));
}

// A finalizer of a managed binding can destroy a handle whose run is still going on.
TEST(QuendalLibrary, DestroyDuringARunCancelsItAndTheRunFreesTheHandle) {
  Client client;
  struct Shared {
    std::atomic<quendal_scan*> running{nullptr};
    std::atomic<bool> destroyed{false};
    std::atomic<int> calls_after_destroy{0};
  } shared;
  quendal_scan_options options{};
  options.struct_size = sizeof options;
  const std::string dir = client.dir();
  const std::string manifest = client.manifest();
  options.client_dir = dir.c_str();
  options.client_dir_length = dir.size();
  options.manifest_path = manifest.c_str();
  options.manifest_path_length = manifest.size();
  options.user_data = &shared;
  options.progress = [](const quendal_progress* progress, void* user_data) -> int32_t {
    auto* state = static_cast<Shared*>(user_data);
    if (state->destroyed) ++state->calls_after_destroy;
    if (progress->phase == QUENDAL_PHASE_CHECKING_FILES && state->running == nullptr) {
      state->running = reinterpret_cast<quendal_scan*>(1);  // the handle is set by the test
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!state->destroyed && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return 0;
  };
  quendal_scan* scan = quendal_scan_create(&options);
  ASSERT_NE(scan, nullptr);
  std::thread finalizer([&] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (shared.running == nullptr && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    quendal_scan_destroy(scan);
    shared.destroyed = true;
  });
  const int32_t status = quendal_scan_run(scan);  // frees the handle as it returns
  finalizer.join();
  EXPECT_EQ(status, QUENDAL_STATUS_CANCELLED);
  EXPECT_EQ(shared.calls_after_destroy, 0);
}

TEST(QuendalLibrary, TwoScansInTwoThreadsBothComplete) {
  Client first;
  Client second;
  test::write_file(second.temp.path("client/a.txt"), "abd");
  const std::string first_report = first.program_report(false);
  const std::string second_report = second.program_report(false);
  Outcome outcomes[2];
  std::thread other(
      [&] { outcomes[1] = library_scan(second.dir(), second.manifest(), second.cache()); });
  outcomes[0] = library_scan(first.dir(), first.manifest(), first.cache());
  other.join();
  ASSERT_EQ(outcomes[0].status, QUENDAL_STATUS_OK) << outcomes[0].failure;
  ASSERT_EQ(outcomes[1].status, QUENDAL_STATUS_OK) << outcomes[1].failure;
  EXPECT_EQ(without_scanned_at(outcomes[0].report), without_scanned_at(first_report));
  EXPECT_EQ(without_scanned_at(outcomes[1].report), without_scanned_at(second_report));
  EXPECT_EQ(outcomes[1].summary->modified_files, 2u);
}

// Scan A holds the hashing threads (its progress callback waits while its files are hashed)
// until scan B has ended: B must read its manifest, report progress while it waits for its
// turn, and end on its cancel, all while A is still hashing. The waits are bounded; A gives up
// after a minute, and B then has failed to get through.
TEST(QuendalLibrary, AScanReadsReportsAndCancelsWhileAnotherHashes) {
  Client big;
  const std::uint64_t k_huge = std::uint64_t{1} << 30;
  std::filesystem::resize_file(big.temp.path("client/big.bin"), k_huge);  // sparse: no disk used
  test::write_file(big.manifest(), std::regex_replace(Client::manifest_text(),
                                                      std::regex(std::to_string(k_big_size)),
                                                      std::to_string(k_huge)));
  Client small;
  std::atomic<bool> b_done = false;
  std::atomic<int> b_checking_calls = 0;
  Outcome b;
  std::thread b_thread;
  int a_checking_calls = 0;
  const Outcome a = library_scan(
      big.dir(), big.manifest(), std::nullopt,
      [&](const quendal_progress& progress, quendal_scan*) -> int32_t {
        if (progress.phase != QUENDAL_PHASE_CHECKING_FILES || ++a_checking_calls != 2) return 0;
        // The second call of the phase comes while A's files are being hashed.
        b_thread = std::thread([&] {
          b = library_scan(small.dir(), small.manifest(), small.cache(),
                           [&](const quendal_progress& p, quendal_scan*) -> int32_t {
                             if (p.phase != QUENDAL_PHASE_CHECKING_FILES) return 0;
                             return ++b_checking_calls >= 3 ? 1 : 0;
                           });
          b_done = true;
        });
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!b_done && std::chrono::steady_clock::now() < give_up) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
      });
  if (b_thread.joinable()) b_thread.join();
  ASSERT_EQ(a_checking_calls >= 2, true);
  EXPECT_EQ(a.status, QUENDAL_STATUS_OK) << a.failure;
  EXPECT_EQ(b.status, QUENDAL_STATUS_CANCELLED) << b.failure;
  EXPECT_GE(b_checking_calls, 3);
  EXPECT_EQ(test::list_directory(small.temp.path()),
            (std::vector<std::string>{"client", "manifest.json"}));
}

TEST(QuendalLibrary, AHandleRunsOnceAndTheVersionIsTheHeaders) {
  Client client;
  quendal_scan_options options = QUENDAL_SCAN_OPTIONS_INIT;
  EXPECT_EQ(options.struct_size, sizeof options);
  const std::string dir = client.dir();
  const std::string manifest = client.manifest();
  options.client_dir = dir.data();
  options.client_dir_length = dir.size();
  options.manifest_path = manifest.data();
  options.manifest_path_length = manifest.size();
  quendal_scan* scan = quendal_scan_create(&options);
  ASSERT_NE(scan, nullptr);
  EXPECT_EQ(quendal_scan_status(scan), QUENDAL_STATUS_PENDING);
  EXPECT_EQ(quendal_scan_failure_kind(scan), QUENDAL_FAILURE_NONE);
  EXPECT_EQ(quendal_scan_report(scan, nullptr), nullptr);
  EXPECT_EQ(quendal_scan_run(scan), QUENDAL_STATUS_OK);
  EXPECT_EQ(quendal_scan_failure_kind(scan), QUENDAL_FAILURE_NONE);
  uint64_t length = 0;
  const char* report = quendal_scan_report(scan, &length);
  quendal_scan_cancel(scan);  // after the end: changes nothing
  EXPECT_EQ(quendal_scan_run(scan), QUENDAL_STATUS_OK);
  EXPECT_EQ(quendal_scan_report(scan, nullptr), report);
  EXPECT_EQ(report[length], '\0');
  quendal_scan_destroy(scan);
  EXPECT_EQ(std::string(quendal_version()), std::to_string(QUENDAL_VERSION_MAJOR) + "." +
                                                std::to_string(QUENDAL_VERSION_MINOR) + "." +
                                                std::to_string(QUENDAL_VERSION_PATCH));
  EXPECT_STREQ(quendal_version(), QUENDAL_VERSION);
}

TEST(QuendalLibrary, ANullHandleDoesNothing) {
  uint64_t length = 7;
  EXPECT_EQ(quendal_scan_create(nullptr), nullptr);
  EXPECT_EQ(quendal_scan_run(nullptr), QUENDAL_STATUS_FAILED);
  EXPECT_EQ(quendal_scan_status(nullptr), QUENDAL_STATUS_FAILED);
  EXPECT_EQ(quendal_scan_failure_kind(nullptr), QUENDAL_FAILURE_NONE);
  quendal_scan_cancel(nullptr);
  quendal_scan_destroy(nullptr);
  for (const auto text : {quendal_scan_report, quendal_scan_warning, quendal_scan_failure}) {
    EXPECT_EQ(text(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    length = 7;
  }
  quendal_summary summary = QUENDAL_SUMMARY_INIT;
  EXPECT_EQ(quendal_scan_summary(nullptr, &summary), -1);
}

}  // namespace
}  // namespace quendal
