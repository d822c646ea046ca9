#include "scan/path_rules.h"

#include <array>

#include "platform/platform.h"
#include "util/text.h"

namespace quendal {
namespace {

constexpr std::string_view k_updater_directory = ".velor-updater";

constexpr std::array<std::string_view, 4> k_implicit_exclusions = {"velor-tirn.exe", "quendal.exe",
                                                                   "tools/quendal.exe", "log.txt"};

constexpr std::array<std::string_view, 6> k_protected_root_files = {"log.txt",
                                                                    "pub.key",
                                                                    "chat.log",
                                                                    "system.cfg",
                                                                    "clientinfo1223465.ini",
                                                                    "systemoptiongraphics.cfg"};

bool is_protected_root_file(std::string_view path) {
  // Most manifest paths have a separator with more text after it, so their root comparison
  // form holds a "/" and they are ruled out without building the form.
  const std::string_view trimmed = trim_white_space(path);
  const std::size_t separator = trimmed.find_first_of("/\\");
  if (separator != std::string_view::npos &&
      trimmed.find_first_not_of("/\\", separator) != std::string_view::npos) {
    return false;
  }
  const std::string form = normalize_root_path(path);
  if (form.find('/') != std::string::npos) return false;
  for (std::string_view name : k_protected_root_files) {
    if (form == name) return true;
  }
  return false;
}

}  // namespace

PathSet build_exclusion_set(const UpdateManifestDocument& manifest) {
  PathSet set;
  for (std::string_view name : k_implicit_exclusions) set.emplace(name);
  for (const std::string& path : manifest.excluded_paths) {
    set.insert(normalize_relative_path(path));
  }
  return set;
}

PathSet build_repair_if_missing_set(const UpdateManifestDocument& manifest) {
  PathSet set;
  for (const std::string& path : manifest.repair_if_missing_paths) {
    set.insert(normalize_relative_path(path));
  }
  for (const UpdateManifestFile& file : manifest.files) {
    if (is_protected_root_file(file.path)) set.insert(normalize_relative_path(file.path));
  }
  return set;
}

bool is_scanned(const UpdateManifestFile& file, const PathSet& exclusions) {
  const std::string form = normalize_relative_path(file.path);
  if (exclusions.count(form) != 0) return false;
  if (form.starts_with(k_updater_directory) &&
      (form.size() == k_updater_directory.size() || form[k_updater_directory.size()] == '/')) {
    return false;
  }
  return true;
}

ScanList build_scan_list(const std::vector<UpdateManifestFile>& files, const PathSet& exclusions) {
  ScanList list;
  list.reserve(files.size());
  for (const UpdateManifestFile& file : files) {
    if (is_scanned(file, exclusions)) list.push_back(&file);
  }
  return list;
}

std::string resolve_client_file(std::string_view client_root, std::string_view path) {
  std::string result;
  result.reserve(client_root.size() + path.size() + 1);
  result += client_root;
  for_each_path_segment(
      path, [&](std::string_view segment) { platform::append_path_component(result, segment); });
  return result;
}

std::string resolve_client_root(const std::string& client_dir) {
  Result<std::string> canonical = platform::canonical_directory(client_dir);
  if (!canonical.ok() || !is_valid_utf8(*canonical)) return client_dir;
  return std::move(canonical).value();
}

}  // namespace quendal
