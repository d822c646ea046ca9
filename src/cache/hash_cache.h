// Loading the hash cache before a scan and replacing it after one. The cache is derived data:
// a file that cannot be parsed is set aside and rebuilt, one of another schema or client
// directory is ignored, and the store goes through a temporary file and a rename so that a
// crash never leaves half a document under the cache path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/cache_document.h"
#include "manifest/manifest.h"

namespace quendal {

struct LoadedHashCache {
  HashCacheMap entries;
  // The one warning line (with its line feed) for standard error, when the file was unusable.
  std::optional<std::string> warning;
};

// Loads the cache at `cache_path` for the client directory `client_dir` (as typed). No file (or
// no readable metadata): empty, silently. Unparseable: copied byte for byte to the
// "json.corrupt-N" sibling, deleted, and an "Ignoring corrupted client hash cache" warning.
// Another schema or another client root: empty with its warning, file left in place. Fails
// with "Failed to read cache '…': …", "Failed to preserve corrupted cache '…' as '…': …" or
// "Failed to remove corrupted cache '…': …".
Result<LoadedHashCache> load_hash_cache(const std::string& cache_path,
                                        const std::string& client_dir);

// The sibling of `cache_path` with `suffix` ("json.tmp-N" or "json.corrupt-N"): the final
// component loses its extension unless its only dot leads, then gets "." and the suffix.
std::string cache_sibling_path(const std::string& cache_path, std::string_view suffix);

// "json.tmp-" or "json.corrupt-" followed by N, the whole seconds of a fresh clock reading.
std::string sibling_suffix(std::string_view kind);

// channel:releaseVersion:publishedAt seconds:signature, the texts trimmed.
std::string manifest_fingerprint(const UpdateManifestDocument& manifest);

// A new document for this run's digests; takes its own clock reading for generatedAt.
ClientHashCacheDocument build_hash_cache_document(const UpdateManifestDocument& manifest,
                                                  const std::string& client_root,
                                                  HashCacheMap&& refreshed);

// Creates the parent directories, writes the "json.tmp-N" sibling (removed again when the write
// fails: the disk may be full), removes the old file and renames the sibling over it. Fails with
// "Failed to create cache directory '…': …", "Failed to encode cache '…': …",
// "Failed to write temporary cache '…': …", "Failed to replace cache '…': …" or
// "Failed to finalize cache '…' from '…': …".
Result<void> store_hash_cache(const std::string& cache_path,
                              const ClientHashCacheDocument& document);

// The same with the document already encoded (or its encoding failure), so the encoding can
// run beside other work; the failures and their order are the same.
Result<void> store_encoded_hash_cache(const std::string& cache_path,
                                      const Result<std::string>& encoded);

}  // namespace quendal
