// Fuzzes the path normal forms: the relative form is idempotent, has no leading, trailing or
// doubled separator, uses "/" only and no capital A-Z; it agrees with the on-disk path of the
// same text; an excludedPaths entry excludes the file entry it names. The root comparison form
// has no "\", no trailing "/" and no capital A-Z.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "scan/path_rules.h"
#include "util/text.h"

using namespace quendal;

namespace {

bool has_capital(std::string_view text) {
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string form = normalize_relative_path(text);
  FUZZ_CHECK(normalize_relative_path(form) == form);
  FUZZ_CHECK(form.empty() || (form.front() != '/' && form.back() != '/'));
  FUZZ_CHECK(form.find("//") == std::string::npos);
  FUZZ_CHECK(form.find('\\') == std::string::npos);
  FUZZ_CHECK(!has_capital(form));
  std::size_t start = 0;
  for (std::size_t i = 0; i <= form.size() && !form.empty(); ++i) {
    if (i < form.size() && form[i] != '/') continue;
    FUZZ_CHECK(!is_blank(std::string_view(form).substr(start, i - start)));  // no blank segment
    start = i + 1;
  }

  // The on-disk path keeps the letter case and nothing else differs.
  const std::string root = "/client";
  const std::string disk = resolve_client_file(root, text);
  FUZZ_CHECK(disk.compare(0, root.size(), root) == 0);
  FUZZ_CHECK(form.empty()
                 ? disk == root
                 : disk.size() > root.size() && disk[root.size()] == '/' &&
                       ascii_lower(std::string_view(disk).substr(root.size() + 1)) == form);

  UpdateManifestDocument manifest;
  manifest.excluded_paths.emplace_back(text);
  const std::string path(text);  // the entry's path is a view: its text must outlive it
  UpdateManifestFile file;
  file.path = path;
  FUZZ_CHECK(!is_scanned(file, build_exclusion_set(manifest)));

  const std::string root_form = normalize_root_path(text);
  FUZZ_CHECK(root_form.find('\\') == std::string::npos);
  FUZZ_CHECK(root_form.empty() || root_form.back() != '/');
  FUZZ_CHECK(!has_capital(root_form));
  return 0;
}
