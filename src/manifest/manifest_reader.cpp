#include "manifest/manifest_reader.h"

#include <array>

#include "json/json_reader.h"
#include "platform/platform.h"
#include "util/parallel.h"
#include "util/text.h"

namespace quendal {
namespace {

using json::FieldSpec;
using json::Scalar;
using json::Target;

class SignatureTarget final : public json::RecordTarget {
 public:
  explicit SignatureTarget(UpdateManifestSignature& out) : RecordTarget(k_fields), m_out(out) {}

  std::string on_scalar(const Scalar& value) override {
    switch (field()) {
      case 0: return read_string(value, m_out.algorithm);
      case 1: return read_string(value, m_out.key_id);
      default: return read_string(value, m_out.signature);
    }
  }
  std::string on_nested(bool, Target*&) override { return wrong_type("a string"); }

 private:
  static constexpr std::array<FieldSpec, 3> k_fields = {{
      {"algorithm", true},
      {"keyId", true},
      {"signature", true},
  }};
  UpdateManifestSignature& m_out;
};

class FileTarget final : public json::RecordTarget {
 public:
  explicit FileTarget(TextArena& texts) : RecordTarget(k_fields), m_texts(texts) {}

  void start(UpdateManifestFile* out) {
    m_out = out;
    reset_fields();
  }

  std::string on_scalar(const Scalar& value) override {
    switch (field()) {
      case 0: return read_text(value, m_out->path);
      case 1: return read_uint64(value, m_out->size);
      case 2: return read_digest(value);
      case 3: return read_text(value, m_out->blob_path);
      default: return read_policy(value);
    }
  }
  std::string on_nested(bool, Target*&) override {
    return field() == 1 ? wrong_type("an integer from 0 to 18446744073709551615")
                        : wrong_type("a string");
  }

 private:
  std::string read_text(const Scalar& value, std::string_view& out) {
    if (value.kind != Scalar::Kind::string) return wrong_type("a string");
    out = m_texts.store(value.text);
    return {};
  }

  std::string read_digest(const Scalar& value) {
    if (value.kind != Scalar::Kind::string) return wrong_type("a string");
    m_out->sha256 = DigestText::from_text(value.text);
    if (!m_out->sha256.is_hex()) m_out->sha256 = DigestText::from_text(m_texts.store(value.text));
    return {};
  }

  std::string read_policy(const Scalar& value) {
    if (value.kind != Scalar::Kind::string) return wrong_type("a string");
    if (value.text == "required") {
      m_out->policy = UpdateManifestFilePolicy::required;
    } else if (value.text == "optional") {
      m_out->policy = UpdateManifestFilePolicy::optional;
    } else if (value.text == "critical") {
      m_out->policy = UpdateManifestFilePolicy::critical;
    } else {
      return "unknown policy " + quoted_excerpt(value.text);
    }
    return {};
  }

  static constexpr std::array<FieldSpec, 5> k_fields = {{
      {"path", true},
      {"size", true},
      {"sha256", true},
      {"blobPath", true},
      {"policy", true},
  }};
  TextArena& m_texts;
  UpdateManifestFile* m_out = nullptr;
};

class FileListTarget final : public Target {
 public:
  FileListTarget(std::vector<UpdateManifestFile>& out, TextArena& texts)
      : m_out(out), m_file(texts) {}

  std::string on_scalar(const Scalar&) override { return "elements of 'files' must be objects"; }
  std::string on_nested(bool is_object, Target*& child) override {
    if (!is_object) return "elements of 'files' must be objects";
    m_out.emplace_back();
    m_file.start(&m_out.back());
    child = &m_file;
    return {};
  }

 private:
  std::vector<UpdateManifestFile>& m_out;
  FileTarget m_file;
};

class DocumentTarget final : public json::RecordTarget {
 public:
  explicit DocumentTarget(UpdateManifestDocument& out)
      : RecordTarget(k_fields),
        m_out(out),
        m_release_notes("releaseNotes", &out.release_notes),
        m_excluded_paths("excludedPaths", &out.excluded_paths),
        m_repair_if_missing_paths("repairIfMissingPaths", &out.repair_if_missing_paths),
        m_files(out.files, out.texts),
        m_signature(out.signature) {}

  std::string on_scalar(const Scalar& value) override {
    switch (field()) {
      case 0: return read_string(value, m_out.schema_version);
      case 1: return read_string(value, m_out.channel);
      case 2: return read_string(value, m_out.release_version);
      case 3: return read_published_at(value);
      case 4: return read_optional_string(value, m_out.minimum_launcher_version);
      case 5: return read_string(value, m_out.hash_algorithm);
      case 6: return read_string(value, m_out.download_base_url);
      case 7:
      case 8:
      case 9: return wrong_type("an array of strings");
      case 10: return wrong_type("an array of objects");
      default: return wrong_type("an object");
    }
  }

  // The target of the elements of "files".
  const Target& files() const { return m_files; }

  std::string on_nested(bool is_object, Target*& child) override {
    const std::size_t index = field();
    if (index >= 7 && index <= 9) {
      if (is_object) return wrong_type("an array of strings");
      child = index == 7   ? &m_release_notes
              : index == 8 ? &m_excluded_paths
                           : &m_repair_if_missing_paths;
      return {};
    }
    if (index == 10) {
      if (is_object) return wrong_type("an array of objects");
      child = &m_files;
      return {};
    }
    if (index == 11) {
      if (!is_object) return wrong_type("an object");
      child = &m_signature;
      return {};
    }
    return index == 4 ? wrong_type("a string or null") : wrong_type("a string");
  }

 private:
  std::string read_published_at(const Scalar& value) {
    if (value.kind != Scalar::Kind::string) return wrong_type("a timestamp string");
    Result<Instant> instant = parse_timestamp(value.text);
    if (!instant.ok()) return "key 'publishedAt' must be a timestamp: " + instant.error();
    m_out.published_at = *instant;
    return {};
  }

  static constexpr std::array<FieldSpec, 12> k_fields = {{
      {"schemaVersion", true},
      {"channel", true},
      {"releaseVersion", true},
      {"publishedAt", true},
      {"minimumLauncherVersion", false},
      {"hashAlgorithm", true},
      {"downloadBaseUrl", true},
      {"releaseNotes", false},
      {"excludedPaths", false},
      {"repairIfMissingPaths", false},
      {"files", false},
      {"signature", true},
  }};
  UpdateManifestDocument& m_out;
  json::StringListTarget m_release_notes;
  json::StringListTarget m_excluded_paths;
  json::StringListTarget m_repair_if_missing_paths;
  FileListTarget m_files;
  SignatureTarget m_signature;
};

// True for "..", and for the segments that Windows may turn into it by dropping trailing dots
// and spaces ("...", ".. "): any segment of dots and spaces alone with at least two dots.
bool is_parent_segment(std::string_view segment) {
  if (segment.find_first_not_of(". ") != std::string_view::npos) return false;
  const auto first_dot = segment.find('.');
  return first_dot != std::string_view::npos &&
         segment.find('.', first_dot + 1) != std::string_view::npos;
}

// True when the path could reach outside the client directory or be cut short by the OS: a
// parent segment, a drive or stream designator, or a NUL.
bool is_unsafe_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return true;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/' || path[i] == '\\') {
      const std::string_view segment = path.substr(start, i - start);
      if (is_parent_segment(segment) || segment.find(':') != std::string_view::npos) return true;
      start = i + 1;
    }
  }
  return false;
}

}  // namespace

std::string_view policy_name(UpdateManifestFilePolicy policy) {
  switch (policy) {
    case UpdateManifestFilePolicy::required: return "required";
    case UpdateManifestFilePolicy::optional: return "optional";
    case UpdateManifestFilePolicy::critical: return "critical";
  }
  return "required";
}

namespace {

// How many pieces a thread gets: more than one, so that a thread that is held up (or the
// first, which reads the document's head and tail) does not hold up the rest.
constexpr std::size_t k_pieces_per_thread = 4;

// Bytes of text per entry that the room made for the entries counts on: most entries are
// longer, and room that is never filled costs nothing; shorter ones grow the list once.
constexpr std::size_t k_entry_bytes = 128;

// The entries of one piece of "files", read on a thread of their own.
struct FilePiece {
  std::vector<UpdateManifestFile> files;
  TextArena texts;
  FileListTarget target{files, texts};
  Result<void> read = Failure{"not read"};
};

// The document read in pieces on `threads` threads (see json::split_points), or nullopt when
// the text cannot be split or any piece fails: the plain reading then decides, and describes.
std::optional<UpdateManifestDocument> parse_in_pieces(std::string_view text, std::size_t min_piece,
                                                      std::size_t threads,
                                                      const std::function<void()>& text_read) {
  const std::vector<std::size_t> points =
      json::split_points(text, threads * k_pieces_per_thread, json::Container::array, min_piece);
  if (points.size() < 2) return std::nullopt;
  UpdateManifestDocument document;
  DocumentTarget target(document);
  std::size_t head = 0;  // entries before the first split point
  Result<void> outer = Failure{"not read"};
  std::vector<FilePiece> pieces(points.size() - 1);
  run_in_parallel(points.size(), threads, [&](std::size_t i) {
    if (i == 0) {
      platform::reserve_large(document.files,
                              (points.front() + text.size() - points.back()) / k_entry_bytes);
      outer = json::read_document_skipping(text, points.front(), points.back(), target,
                                           target.files(), [&] { head = document.files.size(); });
      return;
    }
    FilePiece& piece = pieces[i - 1];
    platform::reserve_large(piece.files, (points[i] - points[i - 1]) / k_entry_bytes);
    piece.read = json::read_range(text.substr(points[i - 1], points[i] - points[i - 1]),
                                  json::Container::array, piece.target);
  });
  if (!outer.ok()) return std::nullopt;
  std::size_t total = document.files.size();
  for (const FilePiece& piece : pieces) {
    if (!piece.read.ok()) return std::nullopt;
    total += piece.files.size();
  }
  if (text_read) text_read();  // before the entries are joined, which doubles them for a while
  std::vector<UpdateManifestFile> files;
  platform::reserve_large(files, total);
  const auto split = document.files.begin() + static_cast<std::ptrdiff_t>(head);
  files.insert(files.end(), document.files.begin(), split);
  for (FilePiece& piece : pieces) {
    files.insert(files.end(), piece.files.begin(), piece.files.end());
    std::vector<UpdateManifestFile>().swap(piece.files);  // each copy freed as it is made
    document.texts.absorb(std::move(piece.texts));
  }
  files.insert(files.end(), split, document.files.end());
  document.files = std::move(files);
  return document;
}

}  // namespace

Result<UpdateManifestDocument> parse_update_manifest(std::string_view text, std::size_t threads,
                                                     std::size_t min_piece,
                                                     const std::function<void()>& text_read) {
  if (threads > 1) {
    std::optional<UpdateManifestDocument> pieces =
        parse_in_pieces(text, min_piece, threads, text_read);
    if (pieces) return std::move(*pieces);
  }
  UpdateManifestDocument document;
  platform::reserve_large(document.files, text.size() / k_entry_bytes);
  DocumentTarget target(document);
  Result<void> read = json::read_document(text, target);
  if (!read.ok()) return read.failure();
  return document;
}

Result<void> validate_update_manifest(const UpdateManifestDocument& document) {
  const UpdateManifestSignature& signature = document.signature;
  for (const std::string* text :
       {&document.schema_version, &document.channel, &document.release_version,
        &document.hash_algorithm, &document.download_base_url, &signature.algorithm,
        &signature.key_id, &signature.signature}) {
    if (is_blank(*text)) return Failure{"Manifest metadata is incomplete."};
  }
  if (!equals_ignoring_ascii_case(document.hash_algorithm, "sha256")) {
    return Failure{"Unsupported hash algorithm " + quoted_excerpt(document.hash_algorithm) +
                   ". Only sha256 is supported right now."};
  }
  if (document.files.empty()) return Failure{"Manifest does not list any client files."};
  for (const UpdateManifestFile& file : document.files) {
    if (is_blank(file.path) || file.sha256.is_blank() || is_blank(file.blob_path)) {
      return Failure{"Manifest contains an incomplete file entry."};
    }
  }
  for (const UpdateManifestFile& file : document.files) {
    if (is_unsafe_path(file.path)) return Failure{"Manifest contains an unsafe file path."};
  }
  return {};
}

}  // namespace quendal
