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
#include "platform/platform.h"

namespace quendal {

struct LoadedHashCache {
  HashCacheMap entries;
  // The one warning line (with its line feed) for standard error, when the file was unusable.
  std::optional<std::string> warning;
};

// The cache file as read and parsed, before anything is decided about it. Reading it has no
// effect on any file, so it can run beside the manifest's reading.
struct ReadHashCache {
  bool present = false;  // false: no file, or no readable metadata
  Result<ClientHashCacheDocument> document = Failure{""};
  std::string text;  // the file's bytes, kept only when they did not parse
  platform::FilePermissions permissions = platform::k_default_permissions;  // the file's
};

// Reads and parses the cache at `cache_path`; bytes that are not UTF-8 do not parse. A final
// link is followed only when it belongs to this process's user or to the system. Fails with
// "Failed to read cache '…': …", also when the file does not exist and the path has no final
// component to name one ("", "dir/", ".."), so that nothing is ever stored there.
// `threads`: how many threads may read a large document (see parse_hash_cache_document).
Result<ReadHashCache> read_hash_cache(const std::string& cache_path, std::size_t threads = 1);

// Decides on a cache read by read_hash_cache, for the client root `client_root` (the resolved
// client directory; see resolve_client_root). No file: empty, silently. Unparseable: copied
// byte for byte, with the file's permissions, to a new "json.corrupt-N" sibling (see
// OutputFile::create_new), deleted, and an "Ignoring corrupted client
// hash cache" warning. Another schema or another client root: empty with its warning, file
// left in place. Fails with "Failed to preserve corrupted cache '…' as '…': …" or "Failed to
// remove corrupted cache '…': …".
Result<LoadedHashCache> accept_hash_cache(const std::string& cache_path, ReadHashCache&& read,
                                          const std::string& client_root);

// Both steps in turn.
Result<LoadedHashCache> load_hash_cache(const std::string& cache_path,
                                        const std::string& client_root);

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

// Creates the parent directories, writes a new "json.tmp-N" sibling (see OutputFile::create_new;
// the document is encoded into it piece by piece), removes the old file and renames the sibling
// over it. A sibling that could not be written whole is removed again. Fails with "Failed to create
// cache directory '…': …", "Failed to encode cache '…': …", "Failed to write temporary cache '…':
// …", "Failed to replace cache '…': …" or "Failed to finalize cache '…' from '…': …".
// The document is encoded on `threads` threads.
Result<void> store_hash_cache(const std::string& cache_path,
                              const ClientHashCacheDocument& document, std::size_t threads = 1);

}  // namespace quendal
