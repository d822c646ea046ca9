// Fuzzes what a run does with a manifest before and after hashing: parse, validate, the path
// sets and the scan list, the fold of verdicts and the report encoding. A manifest that parses
// from valid UTF-8 must always give a report that encodes and reads back as JSON, and the reading
// in pieces on several threads must agree with the plain one.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "manifest/manifest_reader.h"
#include "report/scan_report.h"
#include "scan/path_rules.h"
#include "util/text.h"

using namespace quendal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Result<UpdateManifestDocument> parsed = parse_update_manifest(text);
  // Read in pieces of a few bytes on two threads, the document must be the same, or the
  // failure message.
  const Result<UpdateManifestDocument> split = parse_update_manifest(text, 2, 16);
  FUZZ_CHECK(split.ok() == parsed.ok());
  if (!parsed.ok()) {
    FUZZ_CHECK(fuzz::is_parse_fault(parsed.error()));
    FUZZ_CHECK(split.error() == parsed.error());
    return 0;
  }
  FUZZ_CHECK(split->files.size() == parsed->files.size());
  for (std::size_t i = 0; i < parsed->files.size(); ++i) {
    const UpdateManifestFile& a = split->files[i];
    const UpdateManifestFile& b = parsed->files[i];
    FUZZ_CHECK(a.path == b.path && a.size == b.size && a.sha256 == b.sha256 &&
               a.blob_path == b.blob_path && a.policy == b.policy);
  }
  const UpdateManifestDocument& manifest = *parsed;
  Result<void> valid = validate_update_manifest(manifest);
  FUZZ_CHECK(valid.ok() ||
             (!valid.error().empty() && valid.error().find('\n') == std::string::npos));

  const PathSet exclusions = build_exclusion_set(manifest);
  const PathSet repair_if_missing = build_repair_if_missing_set(manifest);
  for (const std::string& form : exclusions) FUZZ_CHECK(normalize_relative_path(form) == form);
  for (const std::string& form : repair_if_missing) {
    FUZZ_CHECK(normalize_relative_path(form) == form);
  }
  for (const std::string& excluded : manifest.excluded_paths) {
    FUZZ_CHECK(exclusions.count(normalize_relative_path(excluded)) == 1);
  }
  const ScanList scan_list = build_scan_list(manifest.files, exclusions);
  std::size_t next = 0;
  for (const UpdateManifestFile& file : manifest.files) {
    if (!is_scanned(file, exclusions)) continue;
    FUZZ_CHECK(next < scan_list.size() && scan_list[next] == &file);  // manifest order
    ++next;
  }
  FUZZ_CHECK(next == scan_list.size());

  // One verdict of each kind in turn, as the hashing jobs would give them.
  std::vector<FileScanOutcome> outcomes(scan_list.size());
  for (std::size_t i = 0; i < scan_list.size(); ++i) {
    const UpdateManifestFile& entry = *scan_list[i];
    FileScanOutcome& outcome = outcomes[i];
    outcome.file.entry = &entry;
    switch (i % 3) {
      case 0:
        outcome.file.actual_size = entry.size;
        outcome.file.actual_sha256 = entry.sha256;
        outcome.modified_unix_seconds = 0;
        break;
      case 1:
        outcome.file.status = FileStatus::missing;
        outcome.repair = ClientScanRepairAction{&entry, RepairReason::missing};
        break;
      default:
        outcome.file.status = FileStatus::modified;
        outcome.file.actual_size = entry.size + 1;
        outcome.repair = ClientScanRepairAction{&entry, RepairReason::size_mismatch};
    }
  }
  Result<ScanFold> fold = fold_outcomes(std::move(outcomes));
  FUZZ_CHECK(fold.ok());
  const ClientScanSummary& summary = fold->summary;
  FUZZ_CHECK(summary.expected_files == scan_list.size());
  FUZZ_CHECK(summary.healthy_files + summary.missing_files + summary.modified_files ==
             summary.expected_files);
  const ClientScanReport report =
      build_scan_report(manifest, exclusions, repair_if_missing, "/client", std::move(*fold));
  Result<std::string> encoded = encode_scan_report(report);
  if (!is_valid_utf8(text)) return 0;  // the run refuses such a manifest before parsing it
  FUZZ_CHECK(encoded.ok());
  fuzz::AnyDocument any;
  FUZZ_CHECK(json::read_document(*encoded, any).ok());
  return 0;
}
