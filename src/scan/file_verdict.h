// The verdict records of a scanned file (healthy, missing or modified, and why) and the fold of
// all verdicts into the summary counters, the result lists and the refreshed cache map.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cache/cache_entry.h"
#include "manifest/manifest.h"
#include "platform/platform.h"
#include "scan/path_rules.h"
#include "util/result.h"

namespace quendal {

enum class FileStatus { healthy, missing, modified };
enum class RepairReason { missing, size_mismatch, hash_mismatch };

std::string_view file_status_name(FileStatus status);
std::string_view repair_reason_name(RepairReason reason);

// The result for one scanned file. Its path, policy, expected size and digest are the manifest
// entry's, which `entry` points to; the manifest must outlive the record.
struct ClientScanFile {
  const UpdateManifestFile* entry = nullptr;
  std::optional<std::uint64_t> actual_size;
  std::optional<DigestText> actual_sha256;
  FileStatus status = FileStatus::healthy;
  bool used_cached_hash = false;
};

// A file that must be downloaded again; every other field is the manifest entry's.
struct ClientScanRepairAction {
  const UpdateManifestFile* entry = nullptr;
  RepairReason reason = RepairReason::missing;
};

// What one hashing job yields: a failure message, or the file's result and its repair action
// when it is not healthy. When a digest was obtained, the refreshed cache entry is the file's
// actual size and digest and `modified_unix_seconds`.
struct FileScanOutcome {
  std::optional<Failure> failure;
  ClientScanFile file;
  std::optional<ClientScanRepairAction> repair;
  std::optional<std::int64_t> modified_unix_seconds;
};

struct ClientScanSummary {
  std::uint64_t expected_files = 0;
  std::uint64_t healthy_files = 0;
  std::uint64_t missing_files = 0;
  std::uint64_t modified_files = 0;
  std::uint64_t critical_mismatches = 0;
  std::uint64_t bytes_to_download = 0;  // stops at 2^64-1 instead of wrapping
};

// The refreshed cache's keys are the manifest's paths and its odd digests (those not spelt as
// hex) are views of the loaded cache's texts: both must outlive it.
struct ScanFold {
  ClientScanSummary summary;
  std::vector<ClientScanFile> files;
  std::vector<ClientScanRepairAction> repair_actions;
  HashCacheMap refreshed_cache;
};

// Whether the fold builds the refreshed cache map; a run without a cache has no use for it.
enum class CacheRefresh { build, skip };

// Folds the outcomes in scan-list order. Fails with the message of the first failed outcome.
Result<ScanFold> fold_outcomes(std::vector<FileScanOutcome>&& outcomes,
                               CacheRefresh refresh = CacheRefresh::build);

}  // namespace quendal
