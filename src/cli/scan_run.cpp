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
#include "util/out_of_memory.h"
#include "util/text.h"

namespace quendal {
namespace {

Result<std::string> read_manifest_text(const std::string& path) {
  Result<std::string> text = platform::read_file(path);
  if (!text.ok()) return Failure{"Failed to read manifest '" + path + "': " + text.error()};
  if (!is_valid_utf8(*text)) {
    return Failure{"Failed to read manifest '" + path + "': the file is not valid UTF-8"};
  }
  return text;
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
  const Result<void> ran = catch_out_of_memory([&] {
    const std::function<void(std::size_t)> job = [&](std::size_t index) {
      if (index == 0) {
        encoded.report = catch_out_of_memory([&] { return encode_scan_report(report); });
      } else {
        encoded.cache =
            catch_out_of_memory([&] { return encode_hash_cache_document(*cache_document); });
      }
    };
    WorkerPool::instance().run(cache_document ? 2 : 1, job);
  });
  if (!ran.ok()) encoded.cache = encoded.report = ran.failure();  // neither could start
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
  RunData* kept_before = nullptr;  // the list of kept runs (see ReleaseRunData)
};

// Frees the run's data, or keeps it reachable until the process exits (see RunMemory).
struct ReleaseRunData {
  RunMemory memory;
  void operator()(RunData* data) const {
    if (memory == RunMemory::release) {
      delete data;
      return;
    }
    // Linked through the records themselves: keeping a run must not need memory of its own.
    static std::mutex mutex;
    static RunData* kept = nullptr;
    const std::lock_guard<std::mutex> lock(mutex);
    data->kept_before = kept;
    kept = data;
  }
};

Failure cancelled() { return Failure{std::string(k_scan_cancelled)}; }

}  // namespace

Result<ClientScanSummary> run_scan(ScanOptions options, ScanMonitor& monitor,
                                   ReportDestination& destination, RunMemory memory) {
  const std::unique_ptr<RunData, ReleaseRunData> data(new RunData, ReleaseRunData{memory});
  if (monitor.cancel_requested()) return cancelled();
  monitor.begin_phase(ScanPhase::reading_manifest);
  Result<std::string> text = catch_out_of_memory("Failed to read manifest", options.manifest, [&] {
    return read_manifest_text(options.manifest);
  });
  if (!text.ok()) return text.failure();

  Result<UpdateManifestDocument> parsed =
      catch_out_of_memory([&] { return parse_update_manifest(*text); });
  if (!parsed.ok()) {
    return Failure{"Failed to parse manifest '" + options.manifest + "': " + parsed.error()};
  }
  text = std::string();  // the document holds everything it needs
  const UpdateManifestDocument& manifest = data->manifest = std::move(parsed).value();
  Result<void> valid = catch_out_of_memory("Failed to validate manifest", options.manifest,
                                           [&] { return validate_update_manifest(manifest); });
  if (!valid.ok()) return valid.failure();
  if (!monitor.end_phase()) return cancelled();

  if (options.cache) {
    monitor.begin_phase(ScanPhase::loading_cache);
    Result<LoadedHashCache> loaded =
        catch_out_of_memory("Failed to read cache", *options.cache,
                            [&] { return load_hash_cache(*options.cache, options.client_dir); });
    if (!loaded.ok()) return loaded.failure();
    if (loaded->warning) monitor.warning(*loaded->warning);
    data->loaded_cache = std::move(loaded->entries);
    if (!monitor.end_phase()) return cancelled();
  }

  std::string client_root;
  Result<void> listed = catch_out_of_memory("Failed to build scan list", [&] {
    client_root = resolve_client_root(options.client_dir);
    data->exclusions = build_exclusion_set(manifest);
    data->repair_if_missing = build_repair_if_missing_set(manifest);
    data->scan_list = build_scan_list(manifest.files, data->exclusions);
  });
  if (!listed.ok()) return listed.failure();

  monitor.begin_phase(ScanPhase::checking_files, data->scan_list.size());
  HashJobContext context{client_root, &data->loaded_cache, &data->repair_if_missing};
  context.monitor = &monitor;
  Result<std::vector<FileScanOutcome>> outcomes = catch_out_of_memory(
      "Failed to check client files", [&] { return hash_client_files(data->scan_list, context); });
  if (!outcomes.ok()) return outcomes.failure();
  // The last look at the cancel flag: from here on the run completes.
  if (!monitor.end_phase()) return cancelled();
  Result<ScanFold> fold = catch_out_of_memory("Failed to fold scan results", [&] {
    return fold_outcomes(std::move(*outcomes),
                         options.cache ? CacheRefresh::build : CacheRefresh::skip);
  });
  if (!fold.ok()) return fold.failure();
  const ClientScanSummary summary = fold->summary;

  Result<void> built = catch_out_of_memory("Failed to build scan report", [&] {
    if (options.cache) {
      data->cache_document =
          build_hash_cache_document(manifest, client_root, std::move(fold->refreshed_cache));
    }
    data->report.emplace(build_scan_report(manifest, data->exclusions, data->repair_if_missing,
                                           client_root, std::move(*fold)));
  });
  if (!built.ok()) return built.failure();
  const ClientScanReport& report = *data->report;

  monitor.begin_phase(options.cache ? ScanPhase::storing_cache : ScanPhase::encoding);
  EncodedDocuments encoded = encode_documents(data->cache_document, report);
  // A report that cannot be encoded fails the run before the cache is replaced, unless the
  // cache's own encoding failed first.
  if (options.cache && (encoded.report.ok() || !encoded.cache.ok())) {
    Result<void> stored = catch_out_of_memory("Failed to store cache", *options.cache, [&] {
      return store_encoded_hash_cache(*options.cache, encoded.cache);
    });
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
