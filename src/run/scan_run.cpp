#include "run/scan_run.h"

#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "cache/hash_cache.h"
#include "manifest/manifest_reader.h"
#include "platform/platform.h"
#include "report/scan_report.h"
#include "scan/file_hashing.h"
#include "scan/path_rules.h"
#include "util/out_of_memory.h"
#include "util/text.h"

namespace quendal {
namespace {

// The step a run is in, for naming it when an allocation fails: each step's allocations are
// its own, and its message is "Failed to <action>[ '<path>']: out of memory".
enum class RunStep {
  run,  // between the steps
  read_manifest,
  parse_manifest,
  validate_manifest,
  read_cache,
  build_scan_list,
  check_client_files,
  fold_scan_results,
  build_scan_report,
  store_cache,
  encode_scan_output,
};

Failure out_of_memory_in(RunStep step, const ScanOptions& options) noexcept {
  const std::string_view manifest = options.manifest;
  const std::string_view cache = options.cache ? std::string_view(*options.cache) : "";
  switch (step) {
    case RunStep::run: return out_of_memory_failure("Failed to run scan");
    case RunStep::read_manifest: return out_of_memory_failure("Failed to read manifest", manifest);
    case RunStep::parse_manifest:
      return out_of_memory_failure("Failed to parse manifest", manifest);
    case RunStep::validate_manifest:
      return out_of_memory_failure("Failed to validate manifest", manifest);
    case RunStep::read_cache: return out_of_memory_failure("Failed to read cache", cache);
    case RunStep::build_scan_list: return out_of_memory_failure("Failed to build scan list");
    case RunStep::check_client_files: return out_of_memory_failure("Failed to check client files");
    case RunStep::fold_scan_results: return out_of_memory_failure("Failed to fold scan results");
    case RunStep::build_scan_report: return out_of_memory_failure("Failed to build scan report");
    case RunStep::store_cache: return out_of_memory_failure("Failed to store cache", cache);
    case RunStep::encode_scan_output: return out_of_memory_failure("Failed to encode scan output");
  }
  return out_of_memory_failure("Failed to run scan");
}

// Where a thread's part of a run ends: an allocation failure inside `work` becomes the message
// of the step that `step` names when it happens.
template <typename Work>
auto ending_at(const RunStep& step, const ScanOptions& options, Work&& work) {
  return catch_out_of_memory(std::forward<Work>(work),
                             [&] { return out_of_memory_in(step, options); });
}

// Reads, parses and validates the manifest at `path`, keeping `step` up to date; the text is
// gone once it is parsed.
Result<UpdateManifestDocument> read_manifest(const std::string& path, std::size_t threads,
                                             RunStep& step) {
  step = RunStep::read_manifest;
  Result<platform::FileContent> read = platform::read_file(path);
  if (!read.ok()) {
    return Failure{"Failed to read manifest '" + path + "': " + read.error(), read.kind()};
  }
  const std::string_view text = read->text();
  if (!is_valid_utf8(text)) {
    return Failure{"Failed to read manifest '" + path + "': the file is not valid UTF-8"};
  }
  step = RunStep::parse_manifest;
  Result<UpdateManifestDocument> parsed =
      parse_update_manifest(text, threads, json::k_min_split_part, [&] { read = Failure{""}; });
  if (!parsed.ok()) return Failure{"Failed to parse manifest '" + path + "': " + parsed.error()};
  read = Failure{""};  // the text is of no more use
  step = RunStep::validate_manifest;
  Result<void> valid = validate_update_manifest(*parsed);
  if (!valid.ok()) return std::move(valid).failure();
  return parsed;
}

struct ReadDocuments {
  Result<UpdateManifestDocument> manifest = Failure{"not read"};
  Result<ReadHashCache> cache = Failure{"not read"};
};

// Reads the manifest and the cache file (when there is one) side by side: they are independent,
// reading the cache changes nothing, and for a large client each is hundreds of megabytes of
// JSON. The cache is read on a thread of its own, not on the worker pool, which may be hashing
// another scan's files: a scan waits for others at its hashing step only. Each reading is where
// its thread's part of the run ends. What is decided about the cache waits for the manifest.
ReadDocuments read_documents(const ScanOptions& options) {
  ReadDocuments read;
  // Each document is large only for a large client; then it is read on every processor.
  const std::size_t threads = platform::logical_processor_count();
  const auto read_cache = [&] {
    const RunStep step = RunStep::read_cache;
    read.cache = ending_at(step, options, [&] { return read_hash_cache(*options.cache, threads); });
  };
  std::optional<std::thread> cache_reader;
  if (options.cache) {
    try {
      cache_reader.emplace(read_cache);
    } catch (const std::system_error&) {  // without a thread, the cache is read after the
    } catch (const std::bad_alloc&) {     // manifest
    }
  }
  RunStep step = RunStep::read_manifest;
  read.manifest =
      ending_at(step, options, [&] { return read_manifest(options.manifest, threads, step); });
  if (cache_reader) {
    cache_reader->join();
  } else if (options.cache) {
    read_cache();
  }
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

// The steps of one run in their order. `step` is the step under way, for the boundary in
// run_scan.
Result<ClientScanSummary> run_steps(const ScanOptions& options, ScanMonitor& monitor,
                                    ReportDestination& destination, RunMemory memory,
                                    RunStep& step) {
  const std::unique_ptr<RunData, ReleaseRunData> data(new RunData, ReleaseRunData{memory});
  if (monitor.cancel_requested()) return scan_cancelled();
  // The documents are read and written on every processor (on threads of the run's own: the
  // worker pool may be hashing another scan's files).
  const std::size_t threads = platform::logical_processor_count();

  monitor.begin_phase(ScanPhase::reading_manifest);
  step = RunStep::read_manifest;
  ReadDocuments read = read_documents(options);
  if (!read.manifest.ok()) return std::move(read.manifest).failure();
  const UpdateManifestDocument& manifest = data->manifest = std::move(read.manifest).value();
  if (!monitor.end_phase()) return scan_cancelled();

  step = RunStep::build_scan_list;
  const std::string client_root = resolve_client_root(options.client_dir);

  if (options.cache) {
    monitor.begin_phase(ScanPhase::loading_cache);
    step = RunStep::read_cache;
    if (!read.cache.ok()) return std::move(read.cache).failure();
    Result<LoadedHashCache> loaded =
        accept_hash_cache(*options.cache, std::move(read.cache).value(), client_root);
    if (!loaded.ok()) return std::move(loaded).failure();
    if (loaded->warning) monitor.warning(*loaded->warning);
    data->loaded_cache = std::move(loaded->entries);
    if (!monitor.end_phase()) return scan_cancelled();
  }

  step = RunStep::build_scan_list;
  data->exclusions = build_exclusion_set(manifest);
  data->repair_if_missing = build_repair_if_missing_set(manifest);
  data->scan_list = build_scan_list(manifest.files, data->exclusions);

  monitor.begin_phase(ScanPhase::checking_files, data->scan_list.size());
  step = RunStep::check_client_files;
  HashJobContext context{client_root, &data->loaded_cache, &data->repair_if_missing};
  context.monitor = &monitor;
  std::vector<FileScanOutcome> outcomes = hash_client_files(data->scan_list, context);
  // The last look at the cancel flag: from here on the run completes.
  if (!monitor.end_phase()) return scan_cancelled();

  step = RunStep::fold_scan_results;
  Result<ScanFold> fold =
      fold_outcomes(std::move(outcomes), options.cache ? CacheRefresh::build : CacheRefresh::skip);
  std::vector<FileScanOutcome>().swap(outcomes);
  if (!fold.ok()) return std::move(fold).failure();
  const ClientScanSummary summary = fold->summary;
  // The refreshed entries and the report's results hold what they need; only the loaded
  // cache's texts stay, for the digests of it that are not spelt as hex.
  data->loaded_cache.clear();

  step = RunStep::build_scan_report;
  if (options.cache) {
    data->cache_document =
        build_hash_cache_document(manifest, client_root, std::move(fold->refreshed_cache));
  }
  const ClientScanReport& report = data->report.emplace(build_scan_report(
      manifest, data->exclusions, data->repair_if_missing, client_root, std::move(*fold)));

  if (options.cache) {
    monitor.begin_phase(ScanPhase::storing_cache);
    step = RunStep::store_cache;
    Result<void> stored = store_hash_cache(*options.cache, *data->cache_document, threads);
    if (!stored.ok()) return std::move(stored).failure();
    data->cache_document.reset();
    monitor.end_phase();
  }

  monitor.begin_phase(ScanPhase::encoding);
  step = RunStep::encode_scan_output;
  // Every other text of the report comes from the manifest, which was valid UTF-8 as a whole.
  if (!is_valid_utf8(report.client_root)) {
    return Failure{"Failed to encode scan output: string is not valid UTF-8"};
  }
  json::Writer out(json::Layout::compact, destination);
  write_scan_report(out, report, threads);
  Result<std::string> encoded = std::move(out).finish();
  if (!encoded.ok()) {
    if (out.sink_failed()) return std::move(encoded).failure();
    return Failure{"Failed to encode scan output: " + encoded.error()};
  }
  Result<void> closed = destination.close();
  if (!closed.ok()) return std::move(closed).failure();
  monitor.end_phase();
  step = RunStep::run;
  return summary;
}

}  // namespace

Result<ClientScanSummary> run_scan(ScanOptions options, ScanMonitor& monitor,
                                   ReportDestination& destination, RunMemory memory) {
  RunStep step = RunStep::run;
  return ending_at(step, options, [&]() -> Result<ClientScanSummary> {
    Result<ClientScanSummary> run = run_steps(options, monitor, destination, memory, step);
    if (run.ok()) return run;
    // A path or a value from a document can hold line feeds and terminal controls; the
    // message that quotes it must stay one line of plain text.
    Failure failure = std::move(run).failure();
    step = RunStep::run;
    failure.message = one_line(failure.message);
    return failure;
  });
}

}  // namespace quendal
