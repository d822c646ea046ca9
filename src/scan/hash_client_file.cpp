#include "scan/hash_client_file.h"

#include "scan/file_hashing.h"

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

}  // namespace quendal
