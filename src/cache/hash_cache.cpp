#include "cache/hash_cache.h"

#include "json/json_writer.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "util/byte_sink.h"
#include "util/out_of_memory.h"
#include "util/path_forms.h"
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

namespace {

// A path whose final component is empty, "." or ".." names a directory, never a cache file:
// storing to it would put its siblings in some other folder under names like ".json.tmp-N".
bool names_a_file(const std::string& path) {
  const std::string name = platform::final_component(path);
  return !name.empty() && name != "." && name != "..";
}

}  // namespace

Result<ReadHashCache> read_hash_cache(const std::string& cache_path, std::size_t threads) {
  ReadHashCache read;
  Result<std::optional<platform::FileMetadata>> metadata = platform::file_metadata(cache_path);
  if (!metadata.ok() || !metadata->has_value()) {
    if (!names_a_file(cache_path)) {
      return Failure{"Failed to read cache '" + cache_path + "': the path names no file"};
    }
    return read;
  }
  read.present = true;

  // The cache's folder may be writable by a user the process does not trust: a link planted
  // there must not make the process read a file of that user's choosing, let alone copy it.
  Result<platform::FileContent> content =
      platform::read_file(cache_path, platform::FinalLink::owned_only);
  if (!content.ok()) {
    return Failure{"Failed to read cache '" + cache_path + "': " + content.error()};
  }
  read.permissions = content->metadata.permissions;
  // The parser refuses bytes that are not UTF-8, with their position: a torn write or a flipped
  // bit is a corruption like any other, set aside and rebuilt, not a failure of every later scan.
  read.document = parse_hash_cache_document(content->text(), threads, json::k_min_split_part,
                                            [&] { content = Failure{""}; });
  if (!read.document.ok()) read.text = content->text();
  return read;
}

namespace {

// A warning for standard error: one line, whatever the path holds, and its line feed.
std::string warning_line(const std::string& text) { return one_line(text) + "\n"; }

// `bytes` in a new file at `path` (see OutputFile::create_new), readable by no more users than
// `permissions` allow.
Result<void> write_new_file(const std::string& path, std::string_view bytes,
                            platform::FilePermissions permissions) {
  Result<platform::OutputFile> file = platform::OutputFile::create_new(path, permissions);
  if (!file.ok()) return file.failure();
  Result<void> written = file->write(bytes);
  Result<void> closed = file->close();
  if (!written.ok()) return written;
  return closed;
}

}  // namespace

Result<LoadedHashCache> accept_hash_cache(const std::string& cache_path, ReadHashCache&& read,
                                          const std::string& client_root) {
  LoadedHashCache loaded;
  if (!read.present) return loaded;
  if (!read.document.ok()) {
    const std::string copy_path = cache_sibling_path(cache_path, sibling_suffix("json.corrupt-"));
    Result<void> copied = write_new_file(copy_path, read.text, read.permissions);
    if (!copied.ok()) {
      return Failure{"Failed to preserve corrupted cache '" + cache_path + "' as '" + copy_path +
                     "': " + copied.error()};
    }
    Result<void> removed = platform::remove_file(cache_path);
    if (!removed.ok()) {
      return Failure{"Failed to remove corrupted cache '" + cache_path + "': " + removed.error()};
    }
    loaded.warning = warning_line("Ignoring corrupted client hash cache '" + cache_path +
                                  "' and rebuilding it: " + read.document.error());
    return loaded;
  }

  ClientHashCacheDocument& document = *read.document;
  if (trim_white_space(document.schema_version) != k_hash_cache_schema) {
    loaded.warning = warning_line("Ignoring outdated client hash cache '" + cache_path +
                                  "' with schema " + quoted_excerpt(document.schema_version) + ".");
    return loaded;
  }

  const std::string stored_root = normalize_root_path(document.client_root);
  if (!stored_root.empty() && stored_root != normalize_root_path(client_root)) {
    loaded.warning = warning_line("Ignoring client hash cache '" + cache_path +
                                  "' because it targets a different client directory.");
    return loaded;
  }
  loaded.entries = std::move(document.entries);
  return loaded;
}

Result<LoadedHashCache> load_hash_cache(const std::string& cache_path,
                                        const std::string& client_root) {
  Result<ReadHashCache> read = read_hash_cache(cache_path);
  if (!read.ok()) return read.failure();
  return accept_hash_cache(cache_path, std::move(read).value(), client_root);
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

namespace {

// The temporary cache file as the encoder's sink.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(platform::OutputFile& file) : m_file(file) {}
  Result<void> write(std::string_view bytes) override { return m_file.write(bytes); }

 private:
  platform::OutputFile& m_file;
};

// The temporary file while it is written: a part of a document is of no use to anyone, least of
// all on a disk that is full, so it is removed again unless it was written whole, also when an
// allocation failure ends the store. What stood at the name when the file could not be made is
// not the store's to remove.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& path) : m_path(path) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (m_created && !m_complete) (void)allocated([&] { (void)platform::remove_file(m_path); });
  }
  void created() { m_created = true; }
  void complete() { m_complete = true; }

 private:
  const std::string& m_path;
  bool m_created = false;
  bool m_complete = false;
};

// Writes the document to a new file at `temporary_path`.
Result<void> write_temporary_cache(const std::string& cache_path, const std::string& temporary_path,
                                   const ClientHashCacheDocument& document, std::size_t threads) {
  const auto write_failure = [&](const std::string& cause) {
    return Failure{"Failed to write temporary cache '" + temporary_path + "': " + cause};
  };
  TemporaryFile temporary(temporary_path);
  Result<platform::OutputFile> file = platform::OutputFile::create_new(temporary_path);
  if (!file.ok()) return write_failure(file.error());
  temporary.created();
  FileSink sink(*file);
  json::Writer out(json::Layout::indented, sink);
  write_hash_cache_document(out, document, threads);
  Result<std::string> finished = std::move(out).finish();
  if (!finished.ok()) {
    if (out.sink_failed()) return write_failure(finished.error());
    return Failure{"Failed to encode cache '" + cache_path + "': " + finished.error()};
  }
  Result<void> closed = file->close();
  if (!closed.ok()) return write_failure(closed.error());
  temporary.complete();
  return {};
}

}  // namespace

Result<void> store_hash_cache(const std::string& cache_path,
                              const ClientHashCacheDocument& document, std::size_t threads) {
  const std::string parent = platform::parent_path(cache_path);
  if (!parent.empty()) {
    Result<void> made = platform::create_directories(parent);
    if (!made.ok()) {
      return Failure{"Failed to create cache directory '" + parent + "': " + made.error()};
    }
  }
  // Every text but these comes from a document already checked to be valid UTF-8.
  for (const std::string* text : {&document.schema_version, &document.client_root}) {
    if (!is_valid_utf8(*text)) {
      return Failure{"Failed to encode cache '" + cache_path + "': string is not valid UTF-8"};
    }
  }
  if (document.manifest_signature && !is_valid_utf8(*document.manifest_signature)) {
    return Failure{"Failed to encode cache '" + cache_path + "': string is not valid UTF-8"};
  }
  const std::string temporary_path = cache_sibling_path(cache_path, sibling_suffix("json.tmp-"));
  Result<void> written = write_temporary_cache(cache_path, temporary_path, document, threads);
  if (!written.ok()) return written;
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
