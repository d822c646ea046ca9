#include "run/scan_run.h"

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

// Reads, parses and validates the manifest at `path`; the text is gone once it is parsed.
Result<UpdateManifestDocument> read_manifest(const std::string& path) {
  Result<std::string> text = catch_out_of_memory("Failed to read manifest", path, [&] {
    Result<platform::FileContent> read = platform::read_file(path);
    if (!read.ok()) return Result<std::string>(Failure{"Failed to read manifest '" + path + "': " + read.error()});
    if (!is_valid_utf8(read->bytes)) {
      return Result<std::string>(
          Failure{"Failed to read manifest '" + path + "': the file is not valid UTF-8"});
    }
    return Result<std::string>(std::move(read->bytes));
  });
  if (!text.ok()) return text.failure();
  Result<UpdateManifestDocument> parsed =
      catch_out_of_memory([&] { return parse_update_manifest(*text); });
  if (!parsed.ok()) {
    return catch_out_of_memory("Failed to parse manifest", path, [&] {
      return Result<UpdateManifestDocument>(
          Failure{"Failed to parse manifest '" + path + "': " + parsed.error()});
    });
  }
  text = std::string();
  Result<void> valid = catch_out_of_memory("Failed to validate manifest", path,
                                           [&] { return validate_update_manifest(*parsed); });
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
    if (index == 0) {
      read.manifest = read_manifest(options.manifest);
    } else {
      read.cache = catch_out_of_memory("Failed to read cache", *options.cache,
                                       [&] { return read_hash_cache(*options.cache); });
    }
  };
  const Result<void> ran =
      catch_out_of_memory([&] { WorkerPool::instance().run(options.cache ? 2 : 1, job); });
  if (!ran.ok()) read.manifest = out_of_memory_failure("Failed to read manifest", options.manifest);
  return read;
}

// What a run builds that is large: for a client of a million files, some hundreds of megabytes
// in a few dozen allocations.
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


Result<ClientScanSummary> run_steps(ScanOptions options, ScanMonitor& monitor,
                                    ReportDestination& destination, RunMemory memory) {
  const std::unique_ptr<RunData, ReleaseRunData> data(new RunData, ReleaseRunData{memory});
  if (monitor.cancel_requested()) return cancelled();
  monitor.begin_phase(ScanPhase::reading_manifest);
  ReadDocuments read = read_documents(options);
  if (!read.manifest.ok()) return read.manifest.failure();
  const UpdateManifestDocument& manifest = data->manifest = std::move(read.manifest).value();
  if (!monitor.end_phase()) return cancelled();

  std::string client_root;
  Result<void> resolved = catch_out_of_memory(
      "Failed to build scan list", [&] { client_root = resolve_client_root(options.client_dir); });
  if (!resolved.ok()) return resolved.failure();
  if (options.cache) {
    monitor.begin_phase(ScanPhase::loading_cache);
    if (!read.cache.ok()) return read.cache.failure();
    Result<LoadedHashCache> loaded = catch_out_of_memory(
        "Failed to read cache", *options.cache,
        [&] { return accept_hash_cache(*options.cache, std::move(read.cache).value(), client_root); });
    if (!loaded.ok()) return loaded.failure();
    if (loaded->warning) monitor.warning(*loaded->warning);
    data->loaded_cache = std::move(loaded->entries);
    if (!monitor.end_phase()) return cancelled();
  }

  Result<void> listed = catch_out_of_memory("Failed to build scan list", [&] {
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
  std::vector<FileScanOutcome>().swap(*outcomes);
  if (!fold.ok()) return fold.failure();
  const ClientScanSummary summary = fold->summary;
  // The refreshed entries and the report's results hold what they need; only the loaded
  // cache's texts stay, for the digests of it that are not spelt as hex.
  data->loaded_cache.clear();

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

  if (options.cache) {
    monitor.begin_phase(ScanPhase::storing_cache);
    Result<void> stored = catch_out_of_memory("Failed to store cache", *options.cache, [&] {
      return store_hash_cache(*options.cache, *data->cache_document);
    });
    if (!stored.ok()) return stored.failure();
    data->cache_document.reset();
    monitor.end_phase();
  }

  monitor.begin_phase(ScanPhase::encoding);
  // Every other text of the report comes from the manifest, which was valid UTF-8 as a whole.
  if (!is_valid_utf8(report.client_root)) {
    return Failure{"Failed to encode scan output: string is not valid UTF-8"};
  }
  Result<std::string> encoded = catch_out_of_memory([&] {
    json::Writer out(json::Layout::compact, destination);
    write_scan_report(out, report);
    Result<std::string> finished = std::move(out).finish();
    if (finished.ok() || out.sink_failed()) return finished;
    return Result<std::string>(Failure{"Failed to encode scan output: " + finished.error()});
  });
  if (!encoded.ok()) {
    if (encoded.error() == k_out_of_memory) {
      return out_of_memory_failure("Failed to encode scan output");
    }
    return encoded.failure();
  }
  Result<void> closed = destination.close();
  if (!closed.ok()) return closed.failure();
  monitor.end_phase();
  return summary;
}

}  // namespace

Result<ClientScanSummary> run_scan(ScanOptions options, ScanMonitor& monitor,
                                   ReportDestination& destination, RunMemory memory) {
  Result<ClientScanSummary> run = run_steps(std::move(options), monitor, destination, memory);
  if (run.ok()) return run;
  // A path or a value from a document can hold line feeds and terminal controls; the message
  // that quotes it must stay one line of plain text.
  return catch_out_of_memory([&] { return Result<ClientScanSummary>(Failure{one_line(run.error())}); });
}

}  // namespace quendal
