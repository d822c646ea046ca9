#include "report/scan_report.h"

#include <gtest/gtest.h>

#include "manifest/manifest_reader.h"

namespace quendal {
namespace {

UpdateManifestDocument parsed(std::string_view text) {
  Result<UpdateManifestDocument> document = parse_update_manifest(text);
  EXPECT_TRUE(document.ok()) << document.error();
  return document.ok() ? std::move(document).value() : UpdateManifestDocument{};
}

std::string encoded(const ClientScanReport& report) {
  Result<std::string> text = encode_scan_report(report);
  EXPECT_TRUE(text.ok()) << text.error();
  return text.ok() ? *text : std::string();
}

FileScanOutcome outcome(const UpdateManifestFile& file, FileStatus status,
                        std::optional<std::uint64_t> actual_size,
                        std::optional<DigestText> actual_sha256 = {}, bool used_cached_hash = false,
                        std::optional<RepairReason> reason = {}) {
  FileScanOutcome result;
  result.file =
      ClientScanFile{&file, actual_size, std::move(actual_sha256), status, used_cached_hash};
  if (reason) result.repair = ClientScanRepairAction{&file, *reason};
  return result;
}

TEST(EncodeScanReport, WritesEveryRecordCompactlyInItsFixedOrder) {
  const UpdateManifestDocument manifest = parsed(R"({
    "schemaVersion": "velor-tirn-manifest.v1",
    "channel": "live",
    "releaseVersion": "1.2.0",
    "publishedAt": "2026-03-01T10:00:00+02:00",
    "hashAlgorithm": "SHA256",
    "downloadBaseUrl": "https://cdn.example.test/live/",
    "releaseNotes": ["Fixes", "Ünïcode \"quoted\""],
    "excludedPaths": ["TOOLS\\Extra.dll", "tools/extra.dll", "B.dat"],
    "files": [
      {"path": "Data\\Sky.pak", "size": 3, "sha256": "BA7816BF", "blobPath": "blobs/ba", "policy": "critical"},
      {"path": "gone\t\"x\".pak", "size": 10, "sha256": "aa", "blobPath": "blobs/aa", "policy": "optional"},
      {"path": "System.CFG", "size": 5, "sha256": "bb", "blobPath": "blobs/bb", "policy": "required"},
      {"path": "short.pak", "size": 4, "sha256": "cc", "blobPath": "blobs/cc", "policy": "required"},
      {"path": "cached.pak", "size": 3, "sha256": "dd", "blobPath": "blobs/dd", "policy": "critical"},
      {"path": "log.txt", "size": 1, "sha256": "ee", "blobPath": "blobs/ee", "policy": "required"}
    ],
    "signature": {"algorithm": "ed25519", "keyId": "release-2026", "signature": "c2ln"}
  })");
  const PathSet excluded = build_exclusion_set(manifest);
  const PathSet repair_if_missing = build_repair_if_missing_set(manifest);
  const std::vector<UpdateManifestFile>& f = manifest.files;
  std::vector<FileScanOutcome> outcomes;
  outcomes.push_back(outcome(f[0], FileStatus::healthy, 3, "ba7816bf"));
  outcomes.push_back(outcome(f[1], FileStatus::missing, {}, {}, false, RepairReason::missing));
  outcomes.push_back(outcome(f[2], FileStatus::healthy, 99));
  outcomes.push_back(
      outcome(f[3], FileStatus::modified, 2, {}, false, RepairReason::size_mismatch));
  outcomes.push_back(
      outcome(f[4], FileStatus::modified, 3, "0000", true, RepairReason::hash_mismatch));
  Result<ScanFold> fold = fold_outcomes(std::move(outcomes));
  ASSERT_TRUE(fold.ok());
  ClientScanReport report = build_scan_report(manifest, excluded, repair_if_missing,
                                              "C:\\Games\\Velor Tirn\\Ünï", std::move(*fold));
  report.scanned_at = Instant{1769817600, 120000000};

  EXPECT_EQ(encoded(report),
            R"({"schemaVersion":"velor-tirn-client-scan.v1",)"
            R"("clientRoot":"C:\\Games\\Velor Tirn\\Ünï",)"
            R"("scannedAt":"2026-01-31T00:00:00.120Z",)"
            R"("manifest":{"channel":"live","releaseVersion":"1.2.0",)"
            R"("publishedAt":"2026-03-01T08:00:00Z","minimumLauncherVersion":null,)"
            R"("hashAlgorithm":"SHA256","downloadBaseUrl":"https://cdn.example.test/live/",)"
            R"("releaseNotes":["Fixes","Ünïcode \"quoted\""],)"
            R"("excludedPaths":["b.dat","log.txt","quendal.exe","tools/extra.dll",)"
            R"("tools/quendal.exe","velor-tirn.exe"],)"
            R"("repairIfMissingPaths":["log.txt","system.cfg"],)"
            R"("signature":{"algorithm":"ed25519","keyId":"release-2026","signature":"c2ln"}},)"
            R"("summary":{"expectedFiles":5,"healthyFiles":2,"missingFiles":1,"modifiedFiles":2,)"
            R"("criticalMismatches":1,"bytesToDownload":17},)"
            R"("files":[)"
            R"({"path":"Data\\Sky.pak","policy":"critical","expectedSize":3,)"
            R"("expectedSha256":"BA7816BF","actualSize":3,"actualSha256":"ba7816bf",)"
            R"("status":"healthy","usedCachedHash":false},)"
            R"({"path":"gone\t\"x\".pak","policy":"optional","expectedSize":10,)"
            R"("expectedSha256":"aa","actualSize":null,"actualSha256":null,)"
            R"("status":"missing","usedCachedHash":false},)"
            R"({"path":"System.CFG","policy":"required","expectedSize":5,)"
            R"("expectedSha256":"bb","actualSize":99,"actualSha256":null,)"
            R"("status":"healthy","usedCachedHash":false},)"
            R"({"path":"short.pak","policy":"required","expectedSize":4,)"
            R"("expectedSha256":"cc","actualSize":2,"actualSha256":null,)"
            R"("status":"modified","usedCachedHash":false},)"
            R"({"path":"cached.pak","policy":"critical","expectedSize":3,)"
            R"("expectedSha256":"dd","actualSize":3,"actualSha256":"0000",)"
            R"("status":"modified","usedCachedHash":true}],)"
            R"("repairActions":[)"
            R"({"path":"gone\t\"x\".pak","policy":"optional","reason":"missing",)"
            R"("expectedSize":10,"expectedSha256":"aa","blobPath":"blobs/aa"},)"
            R"({"path":"short.pak","policy":"required","reason":"size_mismatch",)"
            R"("expectedSize":4,"expectedSha256":"cc","blobPath":"blobs/cc"},)"
            R"({"path":"cached.pak","policy":"critical","reason":"hash_mismatch",)"
            R"("expectedSize":3,"expectedSha256":"dd","blobPath":"blobs/dd"}]})");
}

TEST(EncodeScanReport, WritesEmptyListsAsEmptyArrays) {
  const UpdateManifestDocument manifest =
      parsed(R"({"schemaVersion":"s","channel":"c","releaseVersion":"r",)"
             R"("publishedAt":"2026-01-31T00:00:00.000000001Z","minimumLauncherVersion":"",)"
             R"("hashAlgorithm":"sha256","downloadBaseUrl":"u",)"
             R"("signature":{"algorithm":"a","keyId":"k","signature":"s"}})");
  const PathSet excluded = build_exclusion_set(manifest);
  const PathSet repair_if_missing = build_repair_if_missing_set(manifest);
  Result<ScanFold> fold = fold_outcomes({});
  ASSERT_TRUE(fold.ok());
  ClientScanReport report =
      build_scan_report(manifest, excluded, repair_if_missing, "/srv/client", std::move(*fold));
  report.scanned_at = Instant{1769817600, 0};
  EXPECT_EQ(encoded(report),
            R"({"schemaVersion":"velor-tirn-client-scan.v1","clientRoot":"/srv/client",)"
            R"("scannedAt":"2026-01-31T00:00:00Z",)"
            R"("manifest":{"channel":"c","releaseVersion":"r",)"
            R"("publishedAt":"2026-01-31T00:00:00.000000001Z","minimumLauncherVersion":"",)"
            R"("hashAlgorithm":"sha256","downloadBaseUrl":"u","releaseNotes":[],)"
            R"("excludedPaths":["log.txt","quendal.exe","tools/quendal.exe","velor-tirn.exe"],)"
            R"("repairIfMissingPaths":[],)"
            R"("signature":{"algorithm":"a","keyId":"k","signature":"s"}},)"
            R"("summary":{"expectedFiles":0,"healthyFiles":0,"missingFiles":0,"modifiedFiles":0,)"
            R"("criticalMismatches":0,"bytesToDownload":0},"files":[],"repairActions":[]})");
}

TEST(EncodeScanReport, FailsOnTextThatIsNotUtf8) {
  UpdateManifestDocument manifest;
  manifest.release_notes = {"fine", "broken \xe2\x82"};
  const PathSet none;
  const ClientScanReport report = build_scan_report(manifest, none, none, "/c", ScanFold{});
  Result<std::string> text = encode_scan_report(report);
  ASSERT_FALSE(text.ok());
  EXPECT_EQ(text.error(), "string is not valid UTF-8");
}

}  // namespace
}  // namespace quendal
