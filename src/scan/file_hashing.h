// The hashing jobs: metadata, the reuse of cached digests, and SHA-256 of file content, run in
// parallel on the worker pool.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cache/cache_entry.h"
#include "manifest/manifest.h"
#include "platform/platform.h"
#include "scan/file_verdict.h"
#include "scan/path_rules.h"
#include "scan/scan_monitor.h"
#include "util/result.h"

namespace quendal {

// Size of the one read buffer a hashing job reads through.
inline constexpr std::size_t k_read_buffer_size = 8388608;

// Runs hash_client_file for every scan-list entry on the process-wide worker pool and returns
// the outcomes in scan-list order. Every job runs to its end, failed or not. With a monitor in
// the context, each job counts its file as done, the waiting thread ticks the monitor, and once
// a cancel is requested the jobs not yet started are skipped: their outcome is the failure
// k_scan_cancelled, so nothing of theirs can reach a report.
std::vector<FileScanOutcome> hash_client_files(const ScanList& scan_list,
                                               const HashJobContext& context);

// The metadata of `disk_path` following links; nullopt when it does not exist. Other errors
// fail with "Failed to read metadata for '<path>': <cause>".
Result<std::optional<platform::FileMetadata>> query_file_metadata(const std::string& disk_path);

struct ObtainedDigest {
  std::string sha256;
  bool used_cached_hash = false;
};

// The cached digest when the entry stored under the manifest path has the same size and
// modified seconds and a digest that is not blank; otherwise hash_file_content, whose bytes are
// counted by `monitor` (which may be null).
Result<ObtainedDigest> obtain_digest(const UpdateManifestFile& file, const std::string& disk_path,
                                     const platform::FileMetadata& metadata,
                                     const HashCacheMap& cache, ScanMonitor* monitor = nullptr);

// The digest as 64 lower-case hexadecimal digits, high nibble first.
std::string hex_digest(const platform::Sha256Digest& digest);

// SHA-256 of the content of `disk_path` as 64 lower-case hex digits. Fails with
// "Failed to open '<path>': <cause>" or "Failed to read '<path>': <cause>". Every read window
// is counted in `progress` (which may be null); when it reports a cancel after a window, the
// read stops with the failure k_scan_cancelled.
Result<std::string> hash_file_content(const std::string& disk_path,
                                      FileHashProgress* progress = nullptr);

}  // namespace quendal
