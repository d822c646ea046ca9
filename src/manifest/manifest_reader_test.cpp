#include "manifest/manifest_reader.h"

#include <gtest/gtest.h>

#include <functional>

namespace quendal {
namespace {

// A complete manifest; each line can be swapped for another with `replaced`.
constexpr std::string_view k_manifest = R"({
  "schemaVersion": "velor-tirn-manifest.v1",
  "channel": " live ",
  "releaseVersion": "1.2.0",
  "publishedAt": "2026-03-01T10:00:00+02:00",
  "minimumLauncherVersion": "3.1",
  "hashAlgorithm": "SHA256",
  "downloadBaseUrl": "https://cdn.example.test/live/",
  "releaseNotes": ["Fixes", "More \"fixes\""],
  "excludedPaths": ["Data\\Movies\\"],
  "repairIfMissingPaths": ["config/user.ini", "System.cfg"],
  "files": [
    {"path": "Data/Sky.pak", "size": 3, "sha256": "BA7816BF", "blobPath": "blobs/ba/78", "policy": "critical"},
    {"path": "empty.bin", "size": 0, "sha256": "e3b0", "blobPath": "blobs/e3/b0", "policy": "optional"},
    {"path": "big.bin", "size": 18446744073709551615, "sha256": "x", "blobPath": "b", "policy": "required"}
  ],
  "signature": {"algorithm": "ed25519", "keyId": "release-2026", "signature": "c2ln"}
})";

// `text` with the first occurrence of `from` replaced by `to`.
std::string replaced_in(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string replaced(std::string_view from, std::string_view to) {
  return replaced_in(std::string(k_manifest), from, to);
}

std::string parse_fault(const std::string& text) {
  Result<UpdateManifestDocument> document = parse_update_manifest(text);
  return document.ok() ? "(parsed)" : document.error();
}

TEST(ParseUpdateManifest, ReadsEveryFieldAsWritten) {
  Result<UpdateManifestDocument> parsed = parse_update_manifest(k_manifest);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  const UpdateManifestDocument& m = *parsed;
  EXPECT_EQ(m.schema_version, "velor-tirn-manifest.v1");
  EXPECT_EQ(m.channel, " live ");  // nothing is trimmed when read
  EXPECT_EQ(m.release_version, "1.2.0");
  EXPECT_EQ(m.published_at, (Instant{1772352000, 0}));  // 2026-03-01T08:00:00Z
  EXPECT_EQ(m.minimum_launcher_version, "3.1");
  EXPECT_EQ(m.hash_algorithm, "SHA256");
  EXPECT_EQ(m.download_base_url, "https://cdn.example.test/live/");
  EXPECT_EQ(m.release_notes, (std::vector<std::string>{"Fixes", "More \"fixes\""}));
  EXPECT_EQ(m.excluded_paths, (std::vector<std::string>{"Data\\Movies\\"}));
  EXPECT_EQ(m.repair_if_missing_paths, (std::vector<std::string>{"config/user.ini", "System.cfg"}));
  ASSERT_EQ(m.files.size(), 3u);
  EXPECT_EQ(m.files[0].path, "Data/Sky.pak");
  EXPECT_EQ(m.files[0].size, 3u);
  EXPECT_EQ(m.files[0].sha256, "BA7816BF");
  EXPECT_EQ(m.files[0].blob_path, "blobs/ba/78");
  EXPECT_EQ(m.files[0].policy, UpdateManifestFilePolicy::critical);
  EXPECT_EQ(m.files[1].size, 0u);
  EXPECT_EQ(m.files[1].policy, UpdateManifestFilePolicy::optional);
  EXPECT_EQ(m.files[2].size, 18446744073709551615u);
  EXPECT_EQ(m.files[2].policy, UpdateManifestFilePolicy::required);
  EXPECT_EQ(m.signature.algorithm, "ed25519");
  EXPECT_EQ(m.signature.key_id, "release-2026");
  EXPECT_EQ(m.signature.signature, "c2ln");
}

TEST(ParseUpdateManifest, OptionalKeysMayBeLeftOut) {
  Result<UpdateManifestDocument> parsed = parse_update_manifest(
      R"({"schemaVersion":"s","channel":"c","releaseVersion":"r",)"
      R"("publishedAt":"2026-01-31T00:00:00Z","hashAlgorithm":"sha256","downloadBaseUrl":"u",)"
      R"("signature":{"algorithm":"a","keyId":"k","signature":"s"}})");
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed->minimum_launcher_version, std::nullopt);
  EXPECT_TRUE(parsed->release_notes.empty());
  EXPECT_TRUE(parsed->excluded_paths.empty());
  EXPECT_TRUE(parsed->repair_if_missing_paths.empty());
  EXPECT_TRUE(parsed->files.empty());
}

TEST(ParseUpdateManifest, MinimumLauncherVersionMayBeNullOrEmpty) {
  const auto version = [](std::string_view value) {
    return parse_update_manifest(replaced(R"("3.1")", value))->minimum_launcher_version;
  };
  EXPECT_EQ(version("null"), std::nullopt);
  EXPECT_EQ(version(R"("")"), "");
}

TEST(ParseUpdateManifest, IgnoresUnknownKeysAtEveryLevel) {
  std::string text = replaced(R"("channel": " live ",)",
                              R"("channel": " live ", "Channel": 5, "extra": {"files": null},)");
  text = replaced_in(text, R"("policy": "critical"})",
                     R"("policy": "critical", "mode": [1, {"a": null}], "Size": "x"})");
  text = replaced_in(text, R"("signature": "c2ln"})",
                     R"("signature": "c2ln", "note": -1.5e9, "ok": true})");
  Result<UpdateManifestDocument> parsed = parse_update_manifest(text);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed->channel, " live ");
  ASSERT_EQ(parsed->files.size(), 3u);
  EXPECT_EQ(parsed->files[0].size, 3u);
  EXPECT_EQ(parsed->signature.signature, "c2ln");
}

TEST(ParseUpdateManifest, DescribesEachFaultWithTheKeyAndThePosition) {
  const std::pair<std::string, std::string> cases[] = {
      {replaced(R"("channel": " live ",)", ""),
       "missing required key 'channel' at line 18, column 1"},
      {replaced(R"("schemaVersion": "velor-tirn-manifest.v1",
  "channel": " live ",)",
                ""),
       "missing required key 'schemaVersion' at line 17, column 1"},
      {replaced(R"("keyId": "release-2026", )", ""),
       "missing required key 'keyId' at line 17, column 60"},
      {replaced(R"(, "policy": "critical")", ""),
       "missing required key 'policy' at line 13, column 88"},
      {replaced(R"("releaseVersion": "1.2.0",)", R"("channel": "beta",)"),
       "duplicate key 'channel' at line 4, column 11"},
      {replaced(R"("critical")", R"("Critical")"),
       "unknown policy 'Critical' at line 13, column 109"},
      {replaced(R"("files": [)", R"("files": null, "x": [)"),
       "key 'files' must be an array of objects at line 12, column 12"},
      {replaced(R"("releaseNotes": ["Fixes", "More \"fixes\""])", R"("releaseNotes": null)"),
       "key 'releaseNotes' must be an array of strings at line 9, column 19"},
      {replaced(R"("channel": " live ")", R"("channel": null)"),
       "key 'channel' must be a string at line 3, column 14"},
      {replaced(R"("size": 3,)", R"("size": -1,)"),
       "key 'size' must be an integer from 0 to 18446744073709551615 at line 13, column 40"},
      {replaced(R"("size": 3,)", R"("size": 1.0,)"),
       "key 'size' must be an integer from 0 to 18446744073709551615 at line 13, column 41"},
      {replaced(R"("size": 3,)", R"("size": 1e3,)"),
       "key 'size' must be an integer from 0 to 18446744073709551615 at line 13, column 41"},
      {replaced(R"(18446744073709551615)", R"(18446744073709551616)"),
       "key 'size' must be an integer from 0 to 18446744073709551615 at line 15, column 53"},
      {replaced(R"(+02:00)", ""),
       "key 'publishedAt' must be a timestamp: '2026-03-01T10:00:00' is not an RFC 3339 "
       "date-time with an offset at line 5, column 38"},
      {"\xef\xbb\xbf" + std::string(k_manifest), "syntax error at line 1, column 1"},
  };
  for (const auto& [text, fault] : cases) EXPECT_EQ(parse_fault(text), fault) << text;
}

// A document that passes validation; each test breaks one thing.
UpdateManifestDocument valid_manifest() {
  UpdateManifestDocument m;
  m.schema_version = "velor-tirn-manifest.v1";
  m.channel = "live";
  m.release_version = "1.2.0";
  m.hash_algorithm = "sha256";
  m.download_base_url = "https://cdn.example.test/";
  m.signature = {"ed25519", "release-2026", "c2ln"};
  m.files.push_back({"data/a.pak", 3, "abc", "blobs/a", UpdateManifestFilePolicy::required});
  m.files.push_back({"data/b.pak", 0, "def", "blobs/b", UpdateManifestFilePolicy::optional});
  return m;
}

std::string validation_message(const std::function<void(UpdateManifestDocument&)>& change) {
  UpdateManifestDocument m = valid_manifest();
  change(m);
  Result<void> valid = validate_update_manifest(m);
  return valid.ok() ? "(valid)" : valid.error();
}

constexpr const char* k_incomplete = "Manifest metadata is incomplete.";
constexpr const char* k_no_files = "Manifest does not list any client files.";
constexpr const char* k_incomplete_entry = "Manifest contains an incomplete file entry.";
constexpr const char* k_unsafe = "Manifest contains an unsafe file path.";

TEST(ValidateUpdateManifest, EveryMetadataTextMustBeNonBlank) {
  using Field = std::string UpdateManifestDocument::*;
  for (Field field :
       {&UpdateManifestDocument::schema_version, &UpdateManifestDocument::channel,
        &UpdateManifestDocument::release_version, &UpdateManifestDocument::hash_algorithm,
        &UpdateManifestDocument::download_base_url}) {
    EXPECT_EQ(validation_message([&](auto& m) { m.*field = ""; }), k_incomplete);
    EXPECT_EQ(validation_message([&](auto& m) { m.*field = " \t\u3000\u00a0"; }), k_incomplete);
  }
  using SignatureField = std::string UpdateManifestSignature::*;
  for (SignatureField field :
       {&UpdateManifestSignature::algorithm, &UpdateManifestSignature::key_id,
        &UpdateManifestSignature::signature}) {
    EXPECT_EQ(validation_message([&](auto& m) { m.signature.*field = "\u2003"; }), k_incomplete);
  }
  // Not examined: the minimum launcher version and the lists.
  EXPECT_EQ(validation_message([](auto& m) {
              m.minimum_launcher_version = " ", m.release_notes = {""}, m.excluded_paths = {" "};
            }),
            "(valid)");
}

TEST(ValidateUpdateManifest, HashAlgorithmMustBeSha256InAnyLetterCase) {
  for (const char* accepted : {"sha256", "SHA256", "Sha256", "sHa256"}) {
    EXPECT_EQ(validation_message([&](auto& m) { m.hash_algorithm = accepted; }), "(valid)");
  }
  for (const char* refused : {"sha-256", " sha256", "sha256 ", "sha512", "sha2567", "md5"}) {
    EXPECT_EQ(validation_message([&](auto& m) { m.hash_algorithm = refused; }),
              "Unsupported hash algorithm '" + std::string(refused) +
                  "'. Only sha256 is supported right now.");
  }
  EXPECT_EQ(validation_message([](auto& m) { m.hash_algorithm = "   "; }), k_incomplete);
}

TEST(ValidateUpdateManifest, ChecksRunInTheirOrder) {
  EXPECT_EQ(validation_message([](auto& m) { m.files.clear(); }), k_no_files);
  EXPECT_EQ(validation_message([](auto& m) { m.files.clear(), m.channel = " "; }), k_incomplete);
  EXPECT_EQ(validation_message([](auto& m) { m.files.clear(), m.hash_algorithm = "md5"; }),
            "Unsupported hash algorithm 'md5'. Only sha256 is supported right now.");
  // An incomplete second entry is reported before an unsafe first one.
  EXPECT_EQ(
      validation_message([](auto& m) { m.files[0].path = "../escape", m.files[1].blob_path = ""; }),
      k_incomplete_entry);
}

TEST(ValidateUpdateManifest, FileEntriesNeedPathDigestAndBlobPath) {
  EXPECT_EQ(validation_message([](auto& m) { m.files[1].path = " "; }), k_incomplete_entry);
  EXPECT_EQ(validation_message([](auto& m) { m.files[1].sha256 = ""; }), k_incomplete_entry);
  EXPECT_EQ(validation_message([](auto& m) { m.files[0].blob_path = "\u3000"; }),
            k_incomplete_entry);
  // Neither a size of 0, a digest of three letters nor a repeated path is checked.
  EXPECT_EQ(validation_message([](auto& m) {
              m.files[0].size = 0, m.files[0].sha256 = "xyz", m.files[1].path = m.files[0].path;
            }),
            "(valid)");
}

TEST(ValidateUpdateManifest, RejectsPathsThatCouldLeaveTheClientDirectory) {
  for (const std::string& path : std::initializer_list<std::string>{
           "..", "../x", "data/../../x", "data\\..\\x", "data/..", "C:/Windows/x", "C:x",
           "data/a:b", "a.pak:stream", std::string("data/a\0.pak", 11), ".velor-updater/../../x",
           "quendal.exe/../x", ".../x", "data/.. /x", "data\\. ./x"}) {
    EXPECT_EQ(validation_message([&](auto& m) { m.files[1].path = path; }), k_unsafe)
        << testing::PrintToString(path);
  }
  for (const char* path :
       {"..data/x", "data/x..", ". x/y", "data/.hidden", "./x", "a/./b", "/absolute/x"}) {
    EXPECT_EQ(validation_message([&](auto& m) { m.files[1].path = path; }), "(valid)") << path;
  }
}

// Paths (as JSON writes them) that look like the bounds between entries, or hide brackets and
// escapes, so that a split point guessed from the bytes lands inside strings.
const std::string_view k_tricky_paths[] = {
    R"(a},{\"path\":\"b)",   R"(c}, {\"d\")",    R"(e\\},\n{)", R"(f]}]}},{{)",
    R"(g\"},{\"path\":\"h)", R"(\u007d,\u007b)", R"(i}  ,  {)", "plain/path.pak",
};

// A manifest of `count` entries with tricky paths, compact (one line) or indented.
std::string split_manifest(std::size_t count, bool indented,
                           const std::function<std::string(std::size_t)>& entry = {}) {
  const std::string gap = indented ? "\n    " : "";
  std::string text = R"({"schemaVersion":"v3","channel":"live","releaseVersion":"1",)"
                     R"("publishedAt":"2026-01-31T00:00:00Z","hashAlgorithm":"sha256",)"
                     R"("downloadBaseUrl":"https://x.invalid/","files":[)";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0)
      text += indented ? ",\n    " : ",";
    else
      text += gap;
    text += entry ? entry(i)
                  : R"({"path":")" + std::string(k_tricky_paths[i % std::size(k_tricky_paths)]) +
                        std::to_string(i) + R"(","size":)" + std::to_string(i) +
                        R"(,"sha256":"ab","blobPath":"b","policy":"optional"})";
  }
  text += indented ? "\n  ]," : "],";
  return text + R"("signature":{"algorithm":"a","keyId":"k","signature":"s"}})";
}

// The plain reading and readings in pieces of many sizes on 2 and 3 threads give the same
// document, or the same fault message.
void expect_split_reading_agrees(const std::string& text) {
  const Result<UpdateManifestDocument> plain = parse_update_manifest(text);
  for (std::size_t threads : {2u, 3u}) {
    for (std::size_t min_piece : {1u, 7u, 40u, 160u, 1000u}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, pieces of " + std::to_string(min_piece));
      const Result<UpdateManifestDocument> split = parse_update_manifest(text, threads, min_piece);
      ASSERT_EQ(split.ok(), plain.ok()) << (plain.ok() ? split.error() : plain.error());
      if (!plain.ok()) {
        EXPECT_EQ(split.error(), plain.error());
        continue;
      }
      ASSERT_EQ(split->files.size(), plain->files.size());
      for (std::size_t i = 0; i < plain->files.size(); ++i) {
        const UpdateManifestFile& a = split->files[i];
        const UpdateManifestFile& b = plain->files[i];
        EXPECT_EQ(a.path, b.path) << i;
        EXPECT_EQ(a.size, b.size) << i;
        EXPECT_TRUE(a.sha256 == b.sha256) << i;
        EXPECT_EQ(a.blob_path, b.blob_path) << i;
      }
      EXPECT_EQ(split->signature.signature, plain->signature.signature);
    }
  }
}

TEST(ParseUpdateManifestInPieces, AgreesWithThePlainReadingWhereverTheTextIsSplit) {
  for (bool indented : {false, true}) {
    for (std::size_t count : {1u, 2u, 17u, 200u}) {
      SCOPED_TRACE(std::to_string(count) + (indented ? " indented" : " compact"));
      const std::string text = split_manifest(count, indented);
      ASSERT_TRUE(parse_update_manifest(text).ok()) << parse_update_manifest(text).error();
      EXPECT_EQ(parse_update_manifest(text)->files.size(), count);
      expect_split_reading_agrees(text);
    }
  }
}

TEST(ParseUpdateManifestInPieces, AFaultAnywhereGivesThePlainReadingsMessage) {
  const std::string good =
      R"({"path":"p","size":1,"sha256":"ab","blobPath":"b","policy":"optional"})";
  // A fault placed in one entry, and the entries it is tried in: the first, a middle, the last.
  const std::string faults[] = {
      R"({"path":"p","size":"1","sha256":"ab","blobPath":"b","policy":"optional"})",
      R"({"path":"p","size":1,"sha256":"ab","blobPath":"b"})",
      R"({"path":"p","path":"q","size":1,"sha256":"ab","blobPath":"b","policy":"optional"})",
      R"({"path":"p","x":)" + std::string(300, '[') + std::string(300, ']') +
          R"(,"size":1,"sha256":"ab","blobPath":"b","policy":"optional"})",
      R"({"path":"p","size":1,"sha256":"ab","blobPath":"b","policy":"sometimes"})",
      R"({"path":"p})",
  };
  for (const std::string& fault : faults) {
    for (std::size_t at : {0u, 60u, 119u}) {
      SCOPED_TRACE(fault.substr(0, 60) + " at " + std::to_string(at));
      const std::string text =
          split_manifest(120, false, [&](std::size_t i) { return i == at ? fault : good; });
      ASSERT_FALSE(parse_update_manifest(text).ok());
      expect_split_reading_agrees(text);
    }
  }
  // A second "files" key after the first, whose entries were read in pieces.
  std::string twice = split_manifest(120, false);
  twice.insert(twice.find("\"signature\""), R"("files":[],)");
  ASSERT_FALSE(parse_update_manifest(twice).ok());
  expect_split_reading_agrees(twice);
}

}  // namespace
}  // namespace quendal
