#include "cache/cache_document.h"

#include <gtest/gtest.h>

namespace quendal {
namespace {

std::string parse_fault(std::string_view text) {
  Result<ClientHashCacheDocument> document = parse_hash_cache_document(text);
  return document.ok() ? "(parsed)" : document.error();
}

TEST(ParseHashCacheDocument, ReadsEveryField) {
  Result<ClientHashCacheDocument> document = parse_hash_cache_document(R"({
  "schemaVersion": "velor-tirn-client-hash-cache.v2",
  "clientRoot": "/srv/Client",
  "manifestSignature": "live:1.2.0:1769817600:sig",
  "generatedAt": "2026-01-31T01:00:00.5+01:00",
  "entries": {
    "Data\\Sky.pak": {"size": 18446744073709551615, "modifiedUnixSeconds": -9223372036854775808, "sha256": "ABC "},
    "a.pak": {"size": 0, "modifiedUnixSeconds": null, "sha256": ""},
    "b.pak": {"sha256": "s", "size": 1, "unknown": [{}]}
  },
  "unknown": {"entries": null}
})");
  ASSERT_TRUE(document.ok()) << document.error();
  EXPECT_EQ(document->schema_version, "velor-tirn-client-hash-cache.v2");
  EXPECT_EQ(document->client_root, "/srv/Client");
  EXPECT_EQ(document->manifest_signature, "live:1.2.0:1769817600:sig");
  EXPECT_EQ(document->generated_at, (Instant{1769817600, 500000000}));
  EXPECT_EQ(document->entries,
            (HashCacheMap{
                {"Data\\Sky.pak", {18446744073709551615u, -9223372036854775807 - 1, "ABC "}},
                {"a.pak", {0, std::nullopt, ""}},
                {"b.pak", {1, std::nullopt, "s"}},
            }));
}

TEST(ParseHashCacheDocument, OptionalFieldsMayBeNullAndALaterEntryReplacesAnEarlierOne) {
  Result<ClientHashCacheDocument> document = parse_hash_cache_document(
      R"({"schemaVersion":"v","clientRoot":"","manifestSignature":null,"generatedAt":null,)"
      R"("entries":{"b":{"size":1,"modifiedUnixSeconds":5,"sha256":"first"},)"
      R"("a":{"size":2,"sha256":"only"},"b":{"size":3,"sha256":"second"}}})");
  ASSERT_TRUE(document.ok()) << document.error();
  EXPECT_EQ(document->manifest_signature, std::nullopt);
  EXPECT_EQ(document->generated_at, std::nullopt);
  EXPECT_EQ(document->entries,
            (HashCacheMap{{"a", {2, std::nullopt, "only"}}, {"b", {3, std::nullopt, "second"}}}));
  document = parse_hash_cache_document(R"({"schemaVersion":"v","clientRoot":"r"})");
  ASSERT_TRUE(document.ok()) << document.error();
  EXPECT_TRUE(document->entries.empty());
}

TEST(ParseHashCacheDocument, DescribesEachFault) {
  const std::string head = R"({"schemaVersion":"v","clientRoot":"r",)";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"schemaVersion":"v"})", "missing required key 'clientRoot' at line 1, column 21"},
      {head + R"("entries":[]})", "key 'entries' must be an object at line 1, column 49"},
      {head + R"("entries":null})", "key 'entries' must be an object at line 1, column 49"},
      {head + R"("entries":{"a":"s"}})",
       "the value of entry 'a' must be an object at line 1, column 56"},
      // A key is quoted on one line and in part only.
      {head + R"("entries":{"k\n)" + std::string(200, 'k') + R"(":"s"}})",
       "the value of entry 'k\\n" + std::string(118, 'k') +
           "\u2026' must be an object at line 1, column 258"},
      {head + R"("entries":{"a":{"size":1}}})",
       "missing required key 'sha256' at line 1, column 63"},
      // Keys repeat freely in "entries" but not inside one entry.
      {head + R"("entries":{"a":{"size":1,"sha256":"s","size":2}}})",
       "duplicate key 'size' at line 1, column 82"},
      {head + R"("entries":{"a":{"size":1,"modifiedUnixSeconds":1.5,"sha256":"s"}}})",
       "key 'modifiedUnixSeconds' must be a signed 64-bit integer or null at line 1, column 89"},
      {head +
           R"("entries":{"a":{"size":1,"modifiedUnixSeconds":9223372036854775808,"sha256":"s"}}})",
       "key 'modifiedUnixSeconds' must be a signed 64-bit integer or null at line 1, column 105"},
      {head + R"("generatedAt":"yesterday"})",
       "key 'generatedAt' must be a timestamp: 'yesterday' is not an RFC 3339 date-time with an "
       "offset at line 1, column 63"},
  };
  for (const auto& [text, fault] : cases) EXPECT_EQ(parse_fault(text), fault) << text;
}

TEST(EncodeHashCacheDocument, WritesIndentedJsonWithoutAFinalLineFeed) {
  ClientHashCacheDocument document;
  document.schema_version = "velor-tirn-client-hash-cache.v2";
  document.client_root = "C:\\Games\\Velor \"Tirn\"";
  document.manifest_signature = "live:1.2.0:1769817600:sig";
  document.generated_at = Instant{1769817600, 250000000};
  document.entries = {
      {"b.pak", {18446744073709551615u, std::nullopt, "BB"}},
      {"Data\\Sky.pak", {3, -5, "ba78"}},
      {"é\tx", {0, 1769817600, ""}},
  };
  Result<std::string> text = encode_hash_cache_document(document);
  ASSERT_TRUE(text.ok()) << text.error();
  EXPECT_EQ(*text,
            "{\n"
            "  \"schemaVersion\": \"velor-tirn-client-hash-cache.v2\",\n"
            "  \"clientRoot\": \"C:\\\\Games\\\\Velor \\\"Tirn\\\"\",\n"
            "  \"manifestSignature\": \"live:1.2.0:1769817600:sig\",\n"
            "  \"generatedAt\": \"2026-01-31T00:00:00.250Z\",\n"
            "  \"entries\": {\n"
            "    \"Data\\\\Sky.pak\": {\n"
            "      \"size\": 3,\n"
            "      \"modifiedUnixSeconds\": -5,\n"
            "      \"sha256\": \"ba78\"\n"
            "    },\n"
            "    \"b.pak\": {\n"
            "      \"size\": 18446744073709551615,\n"
            "      \"modifiedUnixSeconds\": null,\n"
            "      \"sha256\": \"BB\"\n"
            "    },\n"
            "    \"é\\tx\": {\n"
            "      \"size\": 0,\n"
            "      \"modifiedUnixSeconds\": 1769817600,\n"
            "      \"sha256\": \"\"\n"
            "    }\n"
            "  }\n"
            "}");
}

TEST(EncodeHashCacheDocument, WritesNoEntriesAsAnEmptyObjectAndAbsentValuesAsNull) {
  const ClientHashCacheDocument document{"s", "/c", std::nullopt, std::nullopt, {}};
  Result<std::string> text = encode_hash_cache_document(document);
  ASSERT_TRUE(text.ok()) << text.error();
  EXPECT_EQ(*text,
            "{\n"
            "  \"schemaVersion\": \"s\",\n"
            "  \"clientRoot\": \"/c\",\n"
            "  \"manifestSignature\": null,\n"
            "  \"generatedAt\": null,\n"
            "  \"entries\": {}\n"
            "}");
}

TEST(EncodeHashCacheDocument, FailsOnTextThatIsNotUtf8) {
  ClientHashCacheDocument document;
  document.entries = {{"bad\xff", {1, 1, "s"}}};
  Result<std::string> text = encode_hash_cache_document(document);
  ASSERT_FALSE(text.ok());
  EXPECT_EQ(text.error(), "string is not valid UTF-8");
}

TEST(ParseHashCacheDocumentInPieces, AgreesWithThePlainReadingAlsoForRepeatedKeys) {
  // Keys that look like the bounds between entries, and keys given twice far apart, so that
  // the later entry of a key must win across pieces.
  std::string text = "{\n  \"schemaVersion\": \"v2\",\n  \"clientRoot\": \"/c\",\n  \"entries\": {";
  for (std::size_t i = 0; i < 300; ++i) {
    const std::string key =
        i % 7 == 0 ? "a},\\n  \\\"k" + std::to_string(i % 50) : "k" + std::to_string(i % 50);
    text += (i ? ",\n    \"" : "\n    \"") + key + "\": {\n      \"size\": " + std::to_string(i) +
            ",\n      \"sha256\": \"s" + std::to_string(i) + "\"\n    }";
  }
  text += "\n  }\n}";
  const Result<ClientHashCacheDocument> plain = parse_hash_cache_document(text);
  ASSERT_TRUE(plain.ok()) << plain.error();
  EXPECT_LT(plain->entries.size(), 300u);  // repeated keys kept once
  for (std::size_t min_piece : {1u, 30u, 500u}) {
    const Result<ClientHashCacheDocument> split = parse_hash_cache_document(text, 2, min_piece);
    ASSERT_TRUE(split.ok()) << split.error();
    EXPECT_TRUE(split->entries == plain->entries) << min_piece;
  }
  // A fault in the middle: the plain reading's message.
  const std::string bad = text.substr(0, text.size() / 2) + "x" + text.substr(text.size() / 2);
  ASSERT_FALSE(parse_hash_cache_document(bad).ok());
  EXPECT_EQ(parse_hash_cache_document(bad, 2, 30).error(), parse_hash_cache_document(bad).error());
}

}  // namespace
}  // namespace quendal
