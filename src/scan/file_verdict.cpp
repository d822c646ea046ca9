#include "scan/file_verdict.h"

#include <limits>

#include "scan/file_hashing.h"
#include "util/text.h"

namespace quendal {
namespace {

FileScanOutcome missing(const UpdateManifestFile& file) {
  FileScanOutcome outcome;
  outcome.file.entry = &file;
  outcome.file.status = FileStatus::missing;
  outcome.repair = ClientScanRepairAction{&file, RepairReason::missing};
  return outcome;
}

// A file of the repair-if-missing set is preserved when present: nothing of it is compared.
bool is_preserved(const UpdateManifestFile& file, const HashJobContext& context) {
  return !context.repair_if_missing->empty() &&
         context.repair_if_missing->count(normalize_relative_path(file.path)) != 0;
}

}  // namespace

bool needs_content(const UpdateManifestFile& file, const HashJobContext& context,
                   const platform::FileMetadata& metadata) {
  return !is_preserved(file, context) && metadata.length == file.size &&
         metadata.kind == platform::FileKind::regular &&
         reusable_cache_entry(file, metadata, *context.loaded_cache) == nullptr;
}

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

FileScanOutcome hash_client_file(const UpdateManifestFile& file, const HashJobContext& context) {
  const std::string disk_path = resolve_client_file(context.client_root, file.path);
  Result<std::optional<platform::FileMetadata>> queried = query_file_metadata(disk_path);
  if (!queried.ok()) return FileScanOutcome{std::move(queried).failure(), {}, {}, {}};
  if (!queried->has_value()) return missing(file);
  const platform::FileMetadata& metadata = **queried;

  FileScanOutcome outcome;
  outcome.file.entry = &file;
  outcome.file.actual_size = metadata.length;

  if (is_preserved(file, context)) {
    outcome.file.status = FileStatus::healthy;  // present: preserved, nothing compared
    return outcome;
  }
  if (metadata.length != file.size) {
    outcome.file.status = FileStatus::modified;
    outcome.repair = ClientScanRepairAction{&file, RepairReason::size_mismatch};
    return outcome;
  }

  Result<ObtainedDigest> digest = obtain_digest(file, disk_path, metadata, *context.loaded_cache,
                                                context.read_ahead, context.monitor);
  if (!digest.ok()) return FileScanOutcome{std::move(digest).failure(), {}, {}, {}};
  outcome.file.actual_size = digest->metadata.length;
  if (!digest->sha256) {
    outcome.file.status = FileStatus::modified;
    outcome.repair = ClientScanRepairAction{&file, RepairReason::size_mismatch};
    return outcome;
  }

  outcome.file.used_cached_hash = digest->used_cached_hash;
  if (digest->sha256->equals_ignoring_case(file.sha256)) {
    outcome.file.status = FileStatus::healthy;
  } else {
    outcome.file.status = FileStatus::modified;
    outcome.repair = ClientScanRepairAction{&file, RepairReason::hash_mismatch};
  }
  outcome.modified_unix_seconds = platform::to_modified_seconds(digest->metadata.last_write);
  outcome.file.actual_sha256 = std::move(digest->sha256);
  return outcome;
}

Result<ScanFold> fold_outcomes(std::vector<FileScanOutcome>&& outcomes, CacheRefresh refresh) {
  ScanFold fold;
  fold.files.reserve(outcomes.size());
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
      const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - summary.bytes_to_download;
      summary.bytes_to_download += entry.size < room ? entry.size : room;
      if (entry.policy == UpdateManifestFilePolicy::critical) ++summary.critical_mismatches;
    }
    if (outcome.file.actual_sha256 && refresh == CacheRefresh::build) {
      fold.refreshed_cache.insert(entry.path,
                                  ClientHashCacheEntry{*outcome.file.actual_size,
                                                       outcome.modified_unix_seconds,
                                                       *outcome.file.actual_sha256});
    }
    if (outcome.repair) fold.repair_actions.push_back(*outcome.repair);
    fold.files.push_back(std::move(outcome.file));
  }
  fold.summary.expected_files = outcomes.size();
  return fold;
}

}  // namespace quendal
