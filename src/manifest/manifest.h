// The update manifest: the records one manifest document is read into. The document is read
// whole, validated once, and read-only for the rest of the run (the hashing jobs share it). A
// client lists up to millions of files, so a file entry is small and flat: its texts are views
// into the document's arena, its digest 32 bytes where it is spelt the usual way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/digest_text.h"
#include "util/text_arena.h"
#include "util/timestamp.h"

namespace quendal {

enum class UpdateManifestFilePolicy { required, optional, critical };

// "required", "optional" or "critical".
std::string_view policy_name(UpdateManifestFilePolicy policy);

struct UpdateManifestFile {
  std::string_view path;  // as written; see util/path_forms.h for its normal form
  std::uint64_t size = 0;
  DigestText sha256;
  std::string_view blob_path;
  UpdateManifestFilePolicy policy = UpdateManifestFilePolicy::required;
};

struct UpdateManifestSignature {
  std::string algorithm;
  std::string key_id;
  std::string signature;
};

struct UpdateManifestDocument {
  std::string schema_version;
  std::string channel;
  std::string release_version;
  Instant published_at;
  std::optional<std::string> minimum_launcher_version;
  std::string hash_algorithm;
  std::string download_base_url;
  std::vector<std::string> release_notes;
  std::vector<std::string> excluded_paths;
  std::vector<std::string> repair_if_missing_paths;
  std::vector<UpdateManifestFile> files;
  UpdateManifestSignature signature;
  // Holds the texts the file entries refer to.
  TextArena texts;
};

}  // namespace quendal
