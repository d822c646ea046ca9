// The hashing jobs: metadata, the reuse of cached digests, and SHA-256 of file content, run in
// parallel on the worker pool.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cache/cache_entry.h"
#include "manifest/manifest.h"
#include "platform/platform.h"
#include "scan/hash_client_file.h"
#include "scan/path_rules.h"
#include "scan/read_ahead.h"
#include "scan/scan_monitor.h"
#include "util/result.h"

namespace quendal {

// Size of the one read buffer a hashing job reads through.
inline constexpr std::size_t k_read_buffer_size = 8388608;

// Runs hash_client_file for every scan-list entry on the process-wide worker pool and returns
// the outcomes in scan-list order. Every job runs to its end, failed or not. The scan's
// read-ahead (see read_ahead.h) runs in `read_ahead_mode`; it changes how soon data arrives,
// never what is read or what the outcomes say. With a monitor in the context, each job counts
// its file as done, the waiting thread ticks the monitor, and once a cancel is requested the
// jobs not yet started are skipped (all of them, when the cancel comes while the scan still
// waits for another scan's batch): their outcome is the failure k_scan_cancelled, so nothing
// of theirs can reach a report.
std::vector<FileScanOutcome> hash_client_files(
    const ScanList& scan_list, const HashJobContext& context,
    ReadAheadMode read_ahead_mode = ReadAheadMode::when_reads_wait);

// The metadata of `disk_path` following links; nullopt when it does not exist. Other errors
// fail with "Failed to read metadata for '<path>': <cause>".
Result<std::optional<platform::FileMetadata>> query_file_metadata(const std::string& disk_path);

// What the digest step found. The verdict stands on `metadata`: the metadata step's, or, when
// the file at the path was replaced between that query and the open (another identity or
// length), the opened file's. `sha256` is absent when the opened file's length is not the
// listed size: it is then a size mismatch, and it is not read.
struct ObtainedDigest {
  std::optional<DigestText> sha256;
  bool used_cached_hash = false;
  platform::FileMetadata metadata;
};

// The entry stored under the manifest path when its size and modified seconds are the file's
// and its digest is not blank; otherwise nullptr.
const ClientHashCacheEntry* reusable_cache_entry(const UpdateManifestFile& file,
                                                 const platform::FileMetadata& metadata,
                                                 const HashCacheMap& cache);

// The digest of reusable_cache_entry when there is one (the file is not opened). Otherwise the
// file is opened, unless `metadata` already shows that it is not a regular file, and its
// content hashed as hash_file_content does, told the length and the scan's read-ahead (which
// may be null), with its bytes counted by `monitor` (which may be null). Fails with
// "Failed to open '<path>': <cause>" or "Failed to read '<path>': <cause>".
Result<ObtainedDigest> obtain_digest(const UpdateManifestFile& file, const std::string& disk_path,
                                     const platform::FileMetadata& metadata,
                                     const HashCacheMap& cache, ReadAhead* read_ahead = nullptr,
                                     ScanMonitor* monitor = nullptr);

// How hash_file_content reads: `metadata_length` is the length the metadata step found, if any;
// `read_ahead` the scan's read-ahead, if any; `progress` counts every read window, if set.
struct ContentReading {
  std::optional<std::uint64_t> metadata_length;
  ReadAhead* read_ahead = nullptr;
  FileHashProgress* progress = nullptr;
};

// SHA-256 of the content of `disk_path` (written as 64 lower-case hex digits), read to its end from
// the open file: reads follow one another until one yields 0 bytes, except that a read which yields
// fewer bytes than asked for and brings the total to `metadata_length` is the last (a regular
// file's read comes back short only at its end, so the next would yield 0). Fails with
// "Failed to open '<path>': <cause>" or "Failed to read '<path>': <cause>"; when `progress`
// reports a cancel after a window, the read stops with the failure k_scan_cancelled. Safe on
// worker threads: each thread reads through its own buffer.
Result<DigestText> hash_file_content(const std::string& disk_path,
                                     const ContentReading& reading = {});

// The same for a file already open at `disk_path`.
Result<DigestText> hash_open_file(platform::InputFile& file, const std::string& disk_path,
                                  const ContentReading& reading);

}  // namespace quendal
