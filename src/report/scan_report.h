// The scan report: the one output document of a successful run, and its exact compact
// encoding.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "json/json_writer.h"
#include "manifest/manifest.h"
#include "scan/file_verdict.h"
#include "scan/path_rules.h"
#include "util/result.h"
#include "util/timestamp.h"

namespace quendal {

// The manifest the client was compared with. Refers to the manifest document and the path
// sets of the run, which must outlive it.
struct ClientScanManifest {
  const UpdateManifestDocument* document = nullptr;
  const PathSet* excluded_paths = nullptr;
  const PathSet* repair_if_missing_paths = nullptr;
};

struct ClientScanReport {
  std::string client_root;
  Instant scanned_at;
  ClientScanManifest manifest;
  ClientScanSummary summary;
  std::vector<ClientScanFile> files;
  std::vector<ClientScanRepairAction> repair_actions;
};

// Builds the report; takes its own clock reading for scannedAt. Cannot fail.
ClientScanReport build_scan_report(const UpdateManifestDocument& manifest,
                                   const PathSet& excluded_paths,
                                   const PathSet& repair_if_missing_paths, std::string client_root,
                                   ScanFold&& fold);

// The report as compact JSON, keys in their fixed order, without a trailing line feed. Fails
// only when a text is not valid UTF-8.
Result<std::string> encode_scan_report(const ClientScanReport& report);

// The same report written into `out` (a compact writer, perhaps with a sink); the file results
// and repair actions are encoded on `threads` threads (see json::write_elements).
void write_scan_report(json::Writer& out, const ClientScanReport& report, std::size_t threads = 1);

}  // namespace quendal
