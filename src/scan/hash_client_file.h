// The hashing job of one scan-list entry: the verdict for one file, in its fixed order of steps.
#pragma once

#include <string>

#include "cache/cache_entry.h"
#include "manifest/manifest.h"
#include "platform/platform.h"
#include "scan/file_verdict.h"
#include "scan/path_rules.h"

namespace quendal {

class ReadAhead;
class ScanMonitor;

// What the jobs share, read-only, while they run. `read_ahead`, when set, is the scan's
// read-ahead, which the jobs tell what they start and read; the monitor (which may be null)
// takes the run's progress counters and holds its cancel flag.
struct HashJobContext {
  std::string client_root;
  const HashCacheMap* loaded_cache = nullptr;
  const PathSet* repair_if_missing = nullptr;
  ScanMonitor* monitor = nullptr;
  ReadAhead* read_ahead = nullptr;
};

// Whether the verdict for `file`, whose metadata is `metadata`, reads the file's content: the
// file is not preserved, it is a regular file of the listed size, and the cache holds no digest
// that can be reused for it. Safe to call from any thread while the jobs run.
bool needs_content(const UpdateManifestFile& file, const HashJobContext& context,
                   const platform::FileMetadata& metadata);

// The verdict for one file, in this order: metadata (not found: missing), repair-if-missing
// (present: healthy, nothing compared), size, then the digest from the cache or the content,
// compared with the manifest's ignoring ASCII case (see obtain_digest: a file replaced after its
// metadata was read is judged as the file that was opened). Safe to run on worker threads.
FileScanOutcome hash_client_file(const UpdateManifestFile& file, const HashJobContext& context);

}  // namespace quendal
