#include "cli/scan_run.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "cache/hash_cache.h"
#include "manifest/manifest_reader.h"
#include "platform/platform.h"
#include "report/scan_report.h"
#include "scan/file_hashing.h"
#include "scan/path_rules.h"
#include "scan/worker_pool.h"
#include "util/text.h"

namespace quendal {
namespace {

// Reads, parses and validates the manifest at `path`; the text is gone once it is parsed.
Result<UpdateManifestDocument> read_manifest(const std::string& path) {
  Result<std::string> text = platform::read_file(path);
  if (!text.ok()) return Failure{"Failed to read manifest '" + path + "': " + text.error()};
  if (!is_valid_utf8(*text)) {
    return Failure{"Failed to read manifest '" + path + "': the file is not valid UTF-8"};
  }
  Result<UpdateManifestDocument> parsed = parse_update_manifest(*text);
  if (!parsed.ok()) return Failure{"Failed to parse manifest '" + path + "': " + parsed.error()};
  text = std::string();
  Result<void> valid = validate_update_manifest(*parsed);
  if (!valid.ok()) return valid.failure();
  return parsed;
}

struct ReadDocuments {
  Result<UpdateManifestDocument> manifest = Failure{"not read"};
  Result<ReadHashCache> cache = Failure{"not read"};
};

// Reads the manifest and the cache file (when there is one) side by side on the worker pool:
// they are independent, reading the cache changes nothing, and for a large client each is
// hundreds of megabytes of JSON. What is decided about the cache waits for the manifest.
ReadDocuments read_documents(const ScanOptions& options) {
  ReadDocuments read;
  const std::function<void(std::size_t)> job = [&](std::size_t index) {
    if (index == 0) read.manifest = read_manifest(options.manifest);
    else read.cache = read_hash_cache(*options.cache);
  };
  WorkerPool::instance().run(options.cache ? 2 : 1, job);
  return read;
}

struct EncodedDocuments {
  Result<std::string> cache = Failure{"no cache document"};
  Result<std::string> report = Failure{"no report"};
};

// Encodes the cache document (when there is one) and the report side by side on the worker
// pool: they are independent, and together they are tens of megabytes of JSON.
EncodedDocuments encode_documents(const std::optional<ClientHashCacheDocument>& cache_document,
                                  const ClientScanReport& report) {
  EncodedDocuments encoded;
  const std::function<void(std::size_t)> job = [&](std::size_t index) {
    if (index == 0) encoded.report = encode_scan_report(report);
    else encoded.cache = encode_hash_cache_document(*cache_document);
  };
  WorkerPool::instance().run(cache_document ? 2 : 1, job);
  return encoded;
}

// What a run builds that is large: for a client of 100,000 files, about a million small
// allocations.
struct RunData {
  UpdateManifestDocument manifest;
  HashCacheMap loaded_cache;
  PathSet exclusions;
  PathSet repair_if_missing;
  ScanList scan_list;
  std::optional<ClientHashCacheDocument> cache_document;
  std::optional<ClientScanReport> report;
};

// Frees the run's data, or keeps it reachable until the process exits (see RunMemory).
struct ReleaseRunData {
  RunMemory memory;
  void operator()(RunData* data) const {
    if (memory == RunMemory::release) {
      delete data;
      return;
    }
    static std::mutex mutex;
    static auto* kept = new std::vector<RunData*>();
    const std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(data);
  }
};

Failure cancelled() { return Failure{std::string(k_scan_cancelled)}; }

}  // namespace

Result<ClientScanSummary> run_scan(ScanOptions options, ScanMonitor& monitor,
                                   ReportDestination& destination, RunMemory memory) {
  const std::unique_ptr<RunData, ReleaseRunData> data(new RunData, ReleaseRunData{memory});
  if (monitor.cancel_requested()) return cancelled();
  monitor.begin_phase(ScanPhase::reading_manifest);
  ReadDocuments read = read_documents(options);
  if (!read.manifest.ok()) return read.manifest.failure();
  const UpdateManifestDocument& manifest = data->manifest = std::move(read.manifest).value();
  if (!monitor.end_phase()) return cancelled();

  const std::string client_root = resolve_client_root(options.client_dir);
  if (options.cache) {
    monitor.begin_phase(ScanPhase::loading_cache);
    if (!read.cache.ok()) return read.cache.failure();
    Result<LoadedHashCache> loaded =
        accept_hash_cache(*options.cache, std::move(read.cache).value(), client_root);
    if (!loaded.ok()) return loaded.failure();
    if (loaded->warning) monitor.warning(*loaded->warning);
    data->loaded_cache = std::move(loaded->entries);
    if (!monitor.end_phase()) return cancelled();
  }

  data->exclusions = build_exclusion_set(manifest);
  data->repair_if_missing = build_repair_if_missing_set(manifest);
  data->scan_list = build_scan_list(manifest.files, data->exclusions);

  monitor.begin_phase(ScanPhase::checking_files, data->scan_list.size());
  HashJobContext context{client_root, &data->loaded_cache, &data->repair_if_missing};
  context.monitor = &monitor;
  std::vector<FileScanOutcome> outcomes = hash_client_files(data->scan_list, context);
  // The last look at the cancel flag: from here on the run completes.
  if (!monitor.end_phase()) return cancelled();
  Result<ScanFold> fold = fold_outcomes(std::move(outcomes),
                                        options.cache ? CacheRefresh::build : CacheRefresh::skip);
  if (!fold.ok()) return fold.failure();
  const ClientScanSummary summary = fold->summary;

  if (options.cache) {
    data->cache_document =
        build_hash_cache_document(manifest, client_root, std::move(fold->refreshed_cache));
  }
  const ClientScanReport& report = data->report.emplace(build_scan_report(
      manifest, data->exclusions, data->repair_if_missing, client_root, std::move(*fold)));

  monitor.begin_phase(options.cache ? ScanPhase::storing_cache : ScanPhase::encoding);
  EncodedDocuments encoded = encode_documents(data->cache_document, report);
  if (options.cache) {
    Result<void> stored = store_encoded_hash_cache(*options.cache, encoded.cache);
    if (!stored.ok()) return stored.failure();
    monitor.end_phase();
    monitor.begin_phase(ScanPhase::encoding);
  }

  if (!encoded.report.ok()) {
    return Failure{"Failed to encode scan output: " + encoded.report.error()};
  }
  Result<void> delivered = destination.deliver(std::move(encoded.report).value());
  if (!delivered.ok()) return delivered.failure();
  monitor.end_phase();
  return summary;
}

}  // namespace quendal
