#include "scan/file_hashing.h"

#include <memory>
#include <new>
#include <stdexcept>

#include "scan/worker_pool.h"
#include "util/out_of_memory.h"
#include "util/text.h"

namespace quendal {
namespace {

// Each worker keeps its read buffer and digest state for the life of the process: allocating
// (and zero-filling) 8 MiB per file would cost more than hashing a small file.
struct HashingState {
  HashingState() { platform::prefer_huge_pages(buffer.get(), k_read_buffer_size); }

  // Aligned to 2 MiB so that the whole buffer can be backed by huge pages: the kernel copies
  // every byte into it and the digest reads every byte out again.
  struct AlignedDelete {
    void operator()(std::byte* data) const { ::operator delete[](data, k_buffer_alignment); }
  };
  static constexpr std::align_val_t k_buffer_alignment{2 * 1024 * 1024};
  std::unique_ptr<std::byte[], AlignedDelete> buffer{
      static_cast<std::byte*>(::operator new[](k_read_buffer_size, k_buffer_alignment))};
  platform::Sha256 sha256;
};

HashingState& thread_hashing_state() {
  thread_local HashingState state;
  return state;
}

}  // namespace

Result<std::optional<platform::FileMetadata>> query_file_metadata(const std::string& disk_path) {
  Result<std::optional<platform::FileMetadata>> metadata = platform::file_metadata(disk_path);
  if (!metadata.ok()) {
    return Failure{"Failed to read metadata for '" + disk_path + "': " + metadata.error()};
  }
  return metadata;
}

Result<DigestText> hash_file_content(const std::string& disk_path, const ContentReading& reading) {
  Result<platform::InputFile> file = platform::InputFile::open(disk_path);
  if (!file.ok()) return Failure{"Failed to open '" + disk_path + "': " + file.error()};
  return hash_open_file(*file, disk_path, reading);
}

Result<DigestText> hash_open_file(platform::InputFile& file, const std::string& disk_path,
                                  const ContentReading& reading) {
  HashingState& state = thread_hashing_state();
  // However the reading ends, a failure or an allocation failure thrown out of a read
  // included, the thread's digest starts the next file clean.
  struct CleanDigest {
    platform::Sha256& sha256;
    bool finished = false;
    ~CleanDigest() {
      if (!finished) sha256.finish();
    }
  } clean{state.sha256};
  FileReadAhead read_ahead(reading.read_ahead, file, reading.metadata_length);
  std::uint64_t total = 0;
  for (;;) {
    Result<std::size_t> n = read_ahead.read(state.buffer.get(), k_read_buffer_size);
    if (!n.ok()) return Failure{"Failed to read '" + disk_path + "': " + n.error()};
    if (*n == 0) break;
    total += *n;
    read_ahead.after_read(total);  // before hashing, so the device works while this thread does
    state.sha256.update(state.buffer.get(), *n);
    if (reading.progress != nullptr) {
      reading.progress->bytes_read(*n);
      if (reading.progress->cancel_requested()) return scan_cancelled();
    }
    if (*n < k_read_buffer_size && reading.metadata_length == total) break;
  }
  const platform::Sha256Digest digest = state.sha256.finish();
  clean.finished = true;
  return DigestText::from_bytes(digest);
}

const ClientHashCacheEntry* reusable_cache_entry(const UpdateManifestFile& file,
                                                 const platform::FileMetadata& metadata,
                                                 const HashCacheMap& cache) {
  // Each worker looks up the scan list's paths in about the cache's order: where the last one
  // was found is where the next one usually is.
  thread_local std::size_t hint = 0;
  const ClientHashCacheEntry* cached = cache.find(file.path, hint);
  if (cached != nullptr && cached->size == metadata.length &&
      cached->modified_unix_seconds == platform::to_modified_seconds(metadata.last_write) &&
      !cached->sha256.is_blank()) {
    return cached;
  }
  return nullptr;
}

Result<ObtainedDigest> obtain_digest(const UpdateManifestFile& file, const std::string& disk_path,
                                     const platform::FileMetadata& metadata,
                                     const HashCacheMap& cache, ReadAhead* read_ahead,
                                     ScanMonitor* monitor) {
  if (const ClientHashCacheEntry* cached = reusable_cache_entry(file, metadata, cache)) {
    return ObtainedDigest{cached->sha256, true, metadata};
  }
  const auto open_failure = [&](const std::string& cause) {
    return Failure{"Failed to open '" + disk_path + "': " + cause};
  };
  // Opening a device can have effects of its own, so what is known not to be a file stays shut.
  Result<void> regular = platform::require_regular_file(metadata);
  if (!regular.ok()) return open_failure(regular.error());
  Result<platform::InputFile> opened = platform::InputFile::open(disk_path);
  if (!opened.ok()) return open_failure(opened.error());
  // What the verdict says about a file must come from the file that was read: one swapped in
  // at the path since its metadata was read (by a link to any file the process may read) is
  // judged as itself.
  const platform::FileMetadata& found = opened->metadata();
  const bool replaced = found.identity != metadata.identity || found.length != metadata.length;
  ObtainedDigest obtained{std::nullopt, false, replaced ? found : metadata};
  if (obtained.metadata.length != file.size) return obtained;
  FileHashProgress progress(monitor, obtained.metadata.length);
  Result<DigestText> digest = hash_open_file(
      *opened, disk_path, ContentReading{obtained.metadata.length, read_ahead, &progress});
  if (!digest.ok()) return digest.failure();
  obtained.sha256 = std::move(digest).value();
  return obtained;
}

std::vector<FileScanOutcome> hash_client_files(const ScanList& scan_list,
                                               const HashJobContext& context,
                                               ReadAheadMode read_ahead_mode) {
  std::vector<FileScanOutcome> outcomes;
  platform::reserve_large(outcomes, scan_list.size());
  outcomes.resize(scan_list.size());
  if (scan_list.empty()) return outcomes;
  WorkerPool& pool = WorkerPool::instance();
  ReadAhead read_ahead(scan_list, context, read_ahead_mode,
                       ReadAhead::default_limits(pool.worker_count()));
  HashJobContext job_context = context;
  job_context.read_ahead = &read_ahead;
  ScanMonitor* const monitor = context.monitor;
  const std::function<void(std::size_t)> job = [&](std::size_t index) {
    read_ahead.job_started(index);
    if (monitor != nullptr && monitor->cancel_requested()) {
      outcomes[index].failure = scan_cancelled();  // skipped, not done
      return;
    }
    // Each job is where its thread's work ends: an allocation failure is that file's failure.
    Result<FileScanOutcome> outcome = catch_out_of_memory(
        [&] { return hash_client_file(*scan_list[index], job_context); },
        [&] { return out_of_memory_failure("Failed to hash", scan_list[index]->path); });
    if (outcome.ok())
      outcomes[index] = std::move(outcome).value();
    else
      outcomes[index].failure = std::move(outcome).failure();
    if (monitor != nullptr) monitor->file_done();
  };
  if (monitor == nullptr) {
    pool.run(scan_list.size(), job);
    return outcomes;
  }
  // A scan that waits for another scan's batch still reports, and a cancel ends its wait.
  const bool ran = pool.run(
      scan_list.size(), job,
      [monitor] {
        monitor->tick();
        return !monitor->cancel_requested();
      },
      ScanMonitor::k_report_interval);
  if (!ran) {
    for (FileScanOutcome& outcome : outcomes) outcome.failure = scan_cancelled();
  }
  return outcomes;
}

}  // namespace quendal
