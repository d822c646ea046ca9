#include "cache/hash_cache.h"

#include "platform/platform.h"
#include "scan/path_rules.h"
#include "util/text.h"

namespace quendal {

std::string cache_sibling_path(const std::string& cache_path, std::string_view suffix) {
  std::string name = platform::final_component(cache_path);
  const std::string directory_part = cache_path.substr(0, cache_path.size() - name.size());
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot != 0) name.resize(dot);
  return directory_part + name + "." + std::string(suffix);
}

std::string sibling_suffix(std::string_view kind) {
  const std::int64_t seconds = now_utc().seconds;
  return std::string(kind) + std::to_string(seconds < 0 ? 0 : seconds);
}

Result<LoadedHashCache> load_hash_cache(const std::string& cache_path,
                                        const std::string& client_dir) {
  LoadedHashCache loaded;
  Result<std::optional<platform::FileMetadata>> metadata = platform::file_metadata(cache_path);
  if (!metadata.ok() || !metadata->has_value()) return loaded;

  Result<std::string> text = platform::read_file(cache_path);
  if (!text.ok()) return Failure{"Failed to read cache '" + cache_path + "': " + text.error()};
  if (!is_valid_utf8(*text)) {
    return Failure{"Failed to read cache '" + cache_path + "': the file is not valid UTF-8"};
  }

  Result<ClientHashCacheDocument> document = parse_hash_cache_document(*text);
  if (!document.ok()) {
    const std::string copy_path = cache_sibling_path(cache_path, sibling_suffix("json.corrupt-"));
    Result<void> copied = platform::write_file(copy_path, *text);
    if (!copied.ok()) {
      return Failure{"Failed to preserve corrupted cache '" + cache_path + "' as '" + copy_path +
                     "': " + copied.error()};
    }
    Result<void> removed = platform::remove_file(cache_path);
    if (!removed.ok()) {
      return Failure{"Failed to remove corrupted cache '" + cache_path + "': " + removed.error()};
    }
    loaded.warning = "Ignoring corrupted client hash cache '" + cache_path +
                     "' and rebuilding it: " + document.error() + "\n";
    return loaded;
  }

  if (trim_white_space(document->schema_version) != k_hash_cache_schema) {
    loaded.warning = "Ignoring outdated client hash cache '" + cache_path + "' with schema " +
                     quoted_excerpt(document->schema_version) + ".\n";
    return loaded;
  }

  const std::string stored_root = normalize_root_path(document->client_root);
  if (!stored_root.empty() && stored_root != normalize_root_path(resolve_client_root(client_dir))) {
    loaded.warning = "Ignoring client hash cache '" + cache_path +
                     "' because it targets a different client directory.\n";
    return loaded;
  }
  loaded.entries = std::move(document->entries);
  return loaded;
}

std::string manifest_fingerprint(const UpdateManifestDocument& manifest) {
  std::string text(trim_white_space(manifest.channel));
  text += ':';
  text += trim_white_space(manifest.release_version);
  text += ':';
  text += std::to_string(manifest.published_at.seconds);
  text += ':';
  text += trim_white_space(manifest.signature.signature);
  return text;
}

ClientHashCacheDocument build_hash_cache_document(const UpdateManifestDocument& manifest,
                                                  const std::string& client_root,
                                                  HashCacheMap&& refreshed) {
  ClientHashCacheDocument document;
  document.schema_version = k_hash_cache_schema;
  document.client_root = client_root;
  document.manifest_signature = manifest_fingerprint(manifest);
  document.generated_at = now_utc();
  document.entries = std::move(refreshed);
  return document;
}

Result<void> store_hash_cache(const std::string& cache_path,
                              const ClientHashCacheDocument& document) {
  return store_encoded_hash_cache(cache_path, encode_hash_cache_document(document));
}

Result<void> store_encoded_hash_cache(const std::string& cache_path,
                                      const Result<std::string>& encoded) {
  const std::string parent = platform::parent_path(cache_path);
  if (!parent.empty()) {
    Result<void> made = platform::create_directories(parent);
    if (!made.ok()) {
      return Failure{"Failed to create cache directory '" + parent + "': " + made.error()};
    }
  }
  if (!encoded.ok()) {
    return Failure{"Failed to encode cache '" + cache_path + "': " + encoded.error()};
  }
  const std::string temporary_path = cache_sibling_path(cache_path, sibling_suffix("json.tmp-"));
  Result<void> written = platform::write_file(temporary_path, *encoded);
  if (!written.ok()) {
    // A partial document would stay on the disk that just filled up; the old cache is intact.
    (void)platform::remove_file(temporary_path);
    return Failure{"Failed to write temporary cache '" + temporary_path + "': " + written.error()};
  }
  Result<std::optional<platform::FileMetadata>> existing = platform::file_metadata(cache_path);
  if (existing.ok() && existing->has_value()) {
    Result<void> removed = platform::remove_file(cache_path);
    if (!removed.ok()) {
      return Failure{"Failed to replace cache '" + cache_path + "': " + removed.error()};
    }
  }
  Result<void> renamed = platform::rename_file(temporary_path, cache_path);
  if (!renamed.ok()) {
    return Failure{"Failed to finalize cache '" + cache_path + "' from '" + temporary_path +
                   "': " + renamed.error()};
  }
  return {};
}

}  // namespace quendal
