#include "scan/read_ahead.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/file_hashing.h"
#include "scan/worker_pool.h"
#include "test_support.h"

namespace quendal {
namespace {

constexpr std::uint64_t k_mib = 1024 * 1024;

TEST(ReadAhead, DefaultLimitsKeepEverythingInFlightUnder128MiB) {
  for (unsigned workers : {1u, 2u, 4u, 8u, 12u}) {
    const ReadAhead::Limits limits = ReadAhead::default_limits(workers);
    const std::uint64_t in_flight =
        workers * (k_read_buffer_size + limits.job_bytes_ahead) + limits.bytes_ahead;
    EXPECT_LT(in_flight, 128 * k_mib) << workers;
    EXPECT_GT(limits.bytes_ahead, 0u) << workers;
    EXPECT_GE(limits.files_ahead, limits.threads) << workers;
  }
}

// Runs the jobs as hash_client_files does, with a read-ahead of `limits` that is on throughout.
std::vector<FileScanOutcome> scan_with(const ScanList& scan_list, HashJobContext context,
                                       const ReadAhead::Limits& limits) {
  std::vector<FileScanOutcome> outcomes(scan_list.size());
  ReadAhead read_ahead(scan_list, context, ReadAheadMode::always, limits);
  context.read_ahead = &read_ahead;
  WorkerPool::instance().run(scan_list.size(), [&](std::size_t index) {
    read_ahead.job_started(index);
    outcomes[index] = hash_client_file(*scan_list[index], context);
  });
  return outcomes;
}

TEST(ReadAhead, NarrowLimitsChangeNoOutcome) {
  // Files the verdict reads and files it does not (missing, size mismatch, preserved, cached),
  // scanned with a read-ahead that can hold only a few files and bytes ahead of the jobs, so
  // that its threads wait on the jobs all the time.
  test::TempDir temp;
  std::vector<UpdateManifestFile> files;
  HashCacheMap cache;
  TextArena names;  // the entries' paths
  for (int i = 0; i < 300; ++i) {
    std::string name = "d";  // built piece by piece: GCC 12 misreads a chain of + here
    name += std::to_string(i % 7);
    name += "/f";
    name += std::to_string(i);
    const std::string content = test::patterned_content(static_cast<std::size_t>(i) * 97);
    if (i % 11 != 5) {
      test::write_file(temp.path(name), content);
      test::set_modified_time(temp.path(name), 1769817600);
    }
    const std::uint64_t size = i % 13 == 4 ? content.size() + 1 : content.size();
    const std::string_view path = names.store(name);
    files.push_back({path, size, "listed", "blob", UpdateManifestFilePolicy::required});
    if (i % 17 == 2)
      cache.insert(path, ClientHashCacheEntry{content.size(), 1769817600, "planted"});
  }
  test::write_file(temp.path("big"), test::patterned_content(3 * k_read_buffer_size + 5));
  files.push_back(
      {"big", 3 * k_read_buffer_size + 5, "listed", "b", UpdateManifestFilePolicy::required});
  ScanList scan_list;
  for (const UpdateManifestFile& file : files) scan_list.push_back(&file);
  const PathSet repair = {"d3/f3", "d4/f11"};
  const HashJobContext context{temp.path(), &cache, &repair};

  const std::vector<FileScanOutcome> plain =
      hash_client_files(scan_list, context, ReadAheadMode::off);
  ReadAhead::Limits narrow;
  narrow.threads = 3;
  narrow.files_ahead = 4;
  narrow.bytes_ahead = 8192;
  narrow.first_window = 4096;
  narrow.job_bytes_ahead = 4096;
  const std::vector<FileScanOutcome> ahead = scan_with(scan_list, context, narrow);
  ASSERT_EQ(ahead.size(), plain.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(ahead[i].failure.has_value(), plain[i].failure.has_value()) << i;
    if (ahead[i].failure && plain[i].failure) {
      EXPECT_EQ(ahead[i].failure->message, plain[i].failure->message) << i;
    }
    EXPECT_EQ(ahead[i].file.status, plain[i].file.status) << i;
    EXPECT_EQ(ahead[i].file.actual_size, plain[i].file.actual_size) << i;
    EXPECT_EQ(ahead[i].file.actual_sha256, plain[i].file.actual_sha256) << i;
    EXPECT_EQ(ahead[i].file.used_cached_hash, plain[i].file.used_cached_hash) << i;
  }
  std::size_t missing = 0, mismatched = 0, cached = 0, preserved = 0;
  for (const FileScanOutcome& outcome : plain) {
    missing += outcome.file.status == FileStatus::missing;
    mismatched += outcome.repair && outcome.repair->reason == RepairReason::size_mismatch;
    cached += outcome.file.used_cached_hash;
    preserved += outcome.file.status == FileStatus::healthy;
  }
  EXPECT_GT(missing * mismatched * cached * preserved, 0u);
  EXPECT_EQ(plain.back().file.actual_sha256,
            "66aa869ecea7841163001ef02de6eba68b80f48b40f0352809985264b474f24a");
}

}  // namespace
}  // namespace quendal
