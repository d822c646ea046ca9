#include "scan/file_verdict.h"

#include <limits>

#include "util/text.h"

namespace quendal {

std::string_view file_status_name(FileStatus status) {
  switch (status) {
    case FileStatus::healthy: return "healthy";
    case FileStatus::missing: return "missing";
    case FileStatus::modified: return "modified";
  }
  return "healthy";
}

std::string_view repair_reason_name(RepairReason reason) {
  switch (reason) {
    case RepairReason::missing: return "missing";
    case RepairReason::size_mismatch: return "size_mismatch";
    case RepairReason::hash_mismatch: return "hash_mismatch";
  }
  return "missing";
}

Result<ScanFold> fold_outcomes(std::vector<FileScanOutcome>&& outcomes, CacheRefresh refresh) {
  ScanFold fold;
  platform::reserve_large(fold.files, outcomes.size());
  platform::reserve_large(fold.repair_actions, outcomes.size());
  if (refresh == CacheRefresh::build) fold.refreshed_cache.reserve(outcomes.size());
  for (FileScanOutcome& outcome : outcomes) {
    if (outcome.failure) return std::move(*outcome.failure);
    ClientScanSummary& summary = fold.summary;
    switch (outcome.file.status) {
      case FileStatus::healthy: ++summary.healthy_files; break;
      case FileStatus::missing: ++summary.missing_files; break;
      case FileStatus::modified: ++summary.modified_files; break;
    }
    const UpdateManifestFile& entry = *outcome.file.entry;
    if (outcome.file.status != FileStatus::healthy) {
      const std::uint64_t room =
          std::numeric_limits<std::uint64_t>::max() - summary.bytes_to_download;
      summary.bytes_to_download += entry.size < room ? entry.size : room;
      if (entry.policy == UpdateManifestFilePolicy::critical) ++summary.critical_mismatches;
    }
    if (outcome.file.actual_sha256 && refresh == CacheRefresh::build) {
      fold.refreshed_cache.insert(
          entry.path, ClientHashCacheEntry{*outcome.file.actual_size, outcome.modified_unix_seconds,
                                           *outcome.file.actual_sha256});
    }
    if (outcome.repair) fold.repair_actions.push_back(*outcome.repair);
    fold.files.push_back(std::move(outcome.file));
  }
  fold.summary.expected_files = outcomes.size();
  return fold;
}

}  // namespace quendal
