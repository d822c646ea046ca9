#include "report/scan_report.h"

#include "json/json_writer.h"
#include "json/parallel_writer.h"
#include "platform/clock.h"

namespace quendal {
namespace {

constexpr std::string_view k_report_schema = "velor-tirn-client-scan.v1";

void write_manifest(json::Writer& out, const ClientScanManifest& manifest) {
  const UpdateManifestDocument& document = *manifest.document;
  out.begin_object("manifest");
  out.field("channel", document.channel);
  out.field("releaseVersion", document.release_version);
  out.field("publishedAt", format_timestamp(document.published_at));
  out.field("minimumLauncherVersion", document.minimum_launcher_version);
  out.field("hashAlgorithm", document.hash_algorithm);
  out.field("downloadBaseUrl", document.download_base_url);
  out.begin_array("releaseNotes");
  for (const std::string& note : document.release_notes) out.string(note);
  out.end_array();
  out.begin_array("excludedPaths");
  for (const std::string& path : *manifest.excluded_paths) out.string(path);
  out.end_array();
  out.begin_array("repairIfMissingPaths");
  for (const std::string& path : *manifest.repair_if_missing_paths) out.string(path);
  out.end_array();
  out.begin_object("signature");
  out.field("algorithm", document.signature.algorithm);
  out.field("keyId", document.signature.key_id);
  out.field("signature", document.signature.signature);
  out.end_object();
  out.end_object();
}

void write_summary(json::Writer& out, const ClientScanSummary& summary) {
  out.begin_object("summary");
  out.field("expectedFiles", summary.expected_files);
  out.field("healthyFiles", summary.healthy_files);
  out.field("missingFiles", summary.missing_files);
  out.field("modifiedFiles", summary.modified_files);
  out.field("criticalMismatches", summary.critical_mismatches);
  out.field("bytesToDownload", summary.bytes_to_download);
  out.end_object();
}

void write_file(json::Writer& out, const ClientScanFile& file) {
  const UpdateManifestFile& entry = *file.entry;
  out.begin_object();
  out.field("path", entry.path);
  out.field("policy", policy_name(entry.policy));
  out.field("expectedSize", entry.size);
  out.field("expectedSha256", entry.sha256);
  out.field("actualSize", file.actual_size);
  out.field("actualSha256", file.actual_sha256);
  out.field("status", file_status_name(file.status));
  out.field("usedCachedHash", file.used_cached_hash);
  out.end_object();
}

void write_repair_action(json::Writer& out, const ClientScanRepairAction& action) {
  const UpdateManifestFile& entry = *action.entry;
  out.begin_object();
  out.field("path", entry.path);
  out.field("policy", policy_name(entry.policy));
  out.field("reason", repair_reason_name(action.reason));
  out.field("expectedSize", entry.size);
  out.field("expectedSha256", entry.sha256);
  out.field("blobPath", entry.blob_path);
  out.end_object();
}

}  // namespace

ClientScanReport build_scan_report(const UpdateManifestDocument& manifest,
                                   const PathSet& excluded_paths,
                                   const PathSet& repair_if_missing_paths, std::string client_root,
                                   ScanFold&& fold) {
  ClientScanReport report;
  report.client_root = std::move(client_root);
  report.scanned_at = now_utc();
  report.manifest = ClientScanManifest{&manifest, &excluded_paths, &repair_if_missing_paths};
  report.summary = fold.summary;
  report.files = std::move(fold.files);
  report.repair_actions = std::move(fold.repair_actions);
  return report;
}

Result<std::string> encode_scan_report(const ClientScanReport& report) {
  json::Writer out(json::Layout::compact);
  write_scan_report(out, report);
  return std::move(out).finish();
}

void write_scan_report(json::Writer& out, const ClientScanReport& report, std::size_t threads) {
  // About 330 bytes per file result and 250 per repair action: reserve once, copy never.
  out.reserve(2048 + report.files.size() * 360 + report.repair_actions.size() * 280);
  out.begin_object();
  out.field("schemaVersion", k_report_schema);
  out.field("clientRoot", report.client_root);
  out.field("scannedAt", format_timestamp(report.scanned_at));
  write_manifest(out, report.manifest);
  write_summary(out, report.summary);
  out.begin_array("files");
  json::write_elements(out, report.files.size(), threads,
                       [&](json::Writer& to, std::size_t i) { write_file(to, report.files[i]); });
  out.end_array();
  out.begin_array("repairActions");
  json::write_elements(
      out, report.repair_actions.size(), threads,
      [&](json::Writer& to, std::size_t i) { write_repair_action(to, report.repair_actions[i]); });
  out.end_array();
  out.end_object();
}

}  // namespace quendal
