#include "cli/scan_run.h"

#include <functional>
#include <memory>
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

Result<std::string> read_manifest_text(const std::string& path) {
  Result<std::string> text = platform::read_file(path);
  if (!text.ok()) return Failure{"Failed to read manifest '" + path + "': " + text.error()};
  if (!is_valid_utf8(*text)) {
    return Failure{"Failed to read manifest '" + path + "': the file is not valid UTF-8"};
  }
  return text;
}

Result<void> deliver_report(const std::optional<std::string>& output_path, std::string&& bytes) {
  if (output_path) {
    Result<void> written = platform::write_file(*output_path, bytes);
    if (!written.ok()) {
      return Failure{"Failed to write scan output to '" + *output_path + "': " + written.error()};
    }
    return {};
  }
  bytes += '\n';
  Result<void> written = platform::write_stdout(bytes);
  if (!written.ok()) {
    return Failure{"Failed to write scan output to standard output: " + written.error()};
  }
  return {};
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

// The process ends right after its one run, and freeing the run's data node by node takes
// longer than a cached rescan of an unchanged client. So the data is kept, reachable, until
// the process exits instead.
struct KeepUntilExit {
  void operator()(RunData* data) const {
    static auto* kept = new std::vector<RunData*>();
    kept->push_back(data);
  }
};

}  // namespace

Result<void> run_scan(ScanOptions options) {
  const std::unique_ptr<RunData, KeepUntilExit> data(new RunData);
  Result<std::string> text = read_manifest_text(options.manifest);
  if (!text.ok()) return text.failure();

  Result<UpdateManifestDocument> parsed = parse_update_manifest(*text);
  if (!parsed.ok()) {
    return Failure{"Failed to parse manifest '" + options.manifest + "': " + parsed.error()};
  }
  text = std::string();  // the document holds everything it needs
  const UpdateManifestDocument& manifest = data->manifest = std::move(parsed).value();
  Result<void> valid = validate_update_manifest(manifest);
  if (!valid.ok()) return valid;

  if (options.cache) {
    Result<LoadedHashCache> loaded = load_hash_cache(*options.cache, options.client_dir);
    if (!loaded.ok()) return loaded.failure();
    if (loaded->warning) (void)platform::write_stderr(*loaded->warning);
    data->loaded_cache = std::move(loaded->entries);
  }

  const std::string client_root = resolve_client_root(options.client_dir);

  data->exclusions = build_exclusion_set(manifest);
  data->repair_if_missing = build_repair_if_missing_set(manifest);
  data->scan_list = build_scan_list(manifest.files, data->exclusions);

  const HashJobContext context{client_root, &data->loaded_cache, &data->repair_if_missing};
  Result<ScanFold> fold =
      fold_outcomes(hash_client_files(data->scan_list, context),
                    options.cache ? CacheRefresh::build : CacheRefresh::skip);
  if (!fold.ok()) return fold.failure();

  if (options.cache) {
    data->cache_document =
        build_hash_cache_document(manifest, client_root, std::move(fold->refreshed_cache));
  }
  const ClientScanReport& report = data->report.emplace(build_scan_report(
      manifest, data->exclusions, data->repair_if_missing, client_root, std::move(*fold)));

  EncodedDocuments encoded = encode_documents(data->cache_document, report);
  if (options.cache) {
    Result<void> stored = store_encoded_hash_cache(*options.cache, encoded.cache);
    if (!stored.ok()) return stored;
  }

  if (!encoded.report.ok()) {
    return Failure{"Failed to encode scan output: " + encoded.report.error()};
  }
  return deliver_report(options.output, std::move(encoded.report).value());
}

}  // namespace quendal
