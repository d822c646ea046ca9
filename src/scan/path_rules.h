// How the scan treats manifest paths: the exclusion and repair-if-missing sets of their normal
// forms (util/path_forms.h), the scan list, and the on-disk path of a listed file. All of it is
// computation on text, except resolve_client_root.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/manifest.h"
#include "util/path_forms.h"

namespace quendal {

// An ordered set of normal-form texts, ascending byte order.
using PathSet = std::set<std::string, std::less<>>;

// The scan list: the manifest's file entries that survive the exclusions, in manifest order.
// The pointers refer into the manifest document, which must outlive the list.
using ScanList = std::vector<const UpdateManifestFile*>;

// The normal forms of the implicit exclusions and of every excludedPaths entry.
PathSet build_exclusion_set(const UpdateManifestDocument& manifest);

// The normal forms of every repairIfMissingPaths entry and of every listed protected root file.
PathSet build_repair_if_missing_set(const UpdateManifestDocument& manifest);

// False when the entry is in the exclusion set or under the updater directory.
bool is_scanned(const UpdateManifestFile& file, const PathSet& exclusions);

ScanList build_scan_list(const std::vector<UpdateManifestFile>& files, const PathSet& exclusions);

// The on-disk path of a manifest path: its non-blank segments, unchanged, appended to
// `client_root` with the platform's separator.
std::string resolve_client_file(std::string_view client_root, std::string_view path);

// The client root: the canonical absolute form of `client_dir`, or `client_dir` as typed when
// it cannot be resolved (or its canonical form is not valid UTF-8). Touches the file system.
std::string resolve_client_root(const std::string& client_dir);

}  // namespace quendal
