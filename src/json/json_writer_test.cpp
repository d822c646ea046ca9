#include "json/json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "util/text.h"

namespace quendal::json {
namespace {

// A record with every kind of value, nested one level in each direction.
std::string sample(Layout layout) {
  Writer out(layout);
  out.begin_object();
  out.key("name");
  out.string("client");
  out.key("size");
  out.uint64(std::numeric_limits<std::uint64_t>::max());
  out.key("offset");
  out.int64(std::numeric_limits<std::int64_t>::min());
  out.key("absent");
  out.optional_string(std::nullopt);
  out.key("flags");
  out.begin_array();
  out.boolean(true);
  out.boolean(false);
  out.null();
  out.optional_uint64(7);
  out.optional_int64(-3);
  out.begin_object();
  out.end_object();
  out.end_array();
  out.key("empty");
  out.begin_array();
  out.end_array();
  out.key("ne\"s\ted");
  out.begin_object();
  out.key("list");
  out.begin_array();
  out.string("a");
  out.end_array();
  out.key("none");
  out.optional_uint64(std::nullopt);
  out.end_object();
  out.end_object();
  Result<std::string> text = std::move(out).finish();
  EXPECT_TRUE(text.ok());
  return text.ok() ? *text : std::string();
}

TEST(WriterCompact, WritesNoWhiteSpaceAtAll) {
  EXPECT_EQ(sample(Layout::compact),
            R"({"name":"client","size":18446744073709551615,"offset":-9223372036854775808,)"
            R"("absent":null,"flags":[true,false,null,7,-3,{}],"empty":[],)"
            R"("ne\"s\ted":{"list":["a"],"none":null}})");
}

TEST(WriterIndented, PutsEveryMemberOnItsOwnLineTwoSpacesPerLevel) {
  EXPECT_EQ(sample(Layout::indented),
            "{\n"
            "  \"name\": \"client\",\n"
            "  \"size\": 18446744073709551615,\n"
            "  \"offset\": -9223372036854775808,\n"
            "  \"absent\": null,\n"
            "  \"flags\": [\n"
            "    true,\n"
            "    false,\n"
            "    null,\n"
            "    7,\n"
            "    -3,\n"
            "    {}\n"
            "  ],\n"
            "  \"empty\": [],\n"
            "  \"ne\\\"s\\ted\": {\n"
            "    \"list\": [\n"
            "      \"a\"\n"
            "    ],\n"
            "    \"none\": null\n"
            "  }\n"
            "}");
}

TEST(WriterString, EscapesOnlyQuoteBackslashAndControlCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"x\ty", R"("x\ty")"},
      {"\"\\\b\t\n\f\r", R"("\"\\\b\t\n\f\r")"},
      {std::string("\0\x01\x0b\x0e\x1b\x1f", 6), R"("\u0000\u0001\u000b\u000e\u001b\u001f")"},
      {"a/b \x7f é€𐍈 \u2028", "\"a/b \x7f é€𐍈 \u2028\""},
      // Long enough to be read eight bytes at a time, with each kind of byte at varied places.
      {"0123456789\"abcdef\\ghijklm\x01nopqrstu\x1fvwxyz",
       R"("0123456789\"abcdef\\ghijklm\u0001nopqrstu\u001fvwxyz")"},
      {"abcdefgh\nabcdefg\x7f~ !#$%&'()*+,-./0123456789é€abcdefgh",
       "\"abcdefgh\\nabcdefg\x7f~ !#$%&'()*+,-./0123456789é€abcdefgh\""},
  };
  for (const auto& [text, encoded] : cases) {
    Writer out(Layout::compact);
    out.begin_array();
    out.string(text);
    out.end_array();
    Result<std::string> written = std::move(out).finish();
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(*written, "[" + encoded + "]") << testing::PrintToString(text);
  }
}

TEST(WriterFinish, FailsWhenAStringOrKeyIsNotUtf8) {
  for (const char* bad : {"\xff", "ok\xc3", "é\xed\xa0\x80", "\xc0\x80 tail",
                          "sixteen plain bytes then\xff", "0123456789abcdef0123\xe2\x82"}) {
    for (bool as_key : {false, true}) {
      Writer out(Layout::compact);
      out.begin_object();
      out.key(as_key ? std::string_view(bad) : std::string_view("k"));
      out.string(as_key ? std::string_view("v") : std::string_view(bad));
      out.end_object();
      Result<std::string> text = std::move(out).finish();
      ASSERT_FALSE(text.ok()) << testing::PrintToString(std::string(bad));
      EXPECT_EQ(text.error(), "string is not valid UTF-8");
    }
  }
}

// A sink that keeps every piece it is handed.
class PieceSink final : public ByteSink {
 public:
  Result<void> write(std::string_view bytes) override {
    pieces.emplace_back(bytes);
    return {};
  }
  std::vector<std::string> pieces;
};

TEST(WriterWithASink, PiecesNeverEndInsideACharacterOrAnEscape) {
  // Two- to four-byte characters and escapes of every form, at every offset a chunk can end.
  const std::string expected =
      "{\"é\":\"é€😀\",\"e\\\"s\":[\"\\\\\\\\\",\"\\n\\t\\u0001\",\"a\\u001fé\","
      "\"😀😀\\\"€\"],\"n\":7}";
  for (std::size_t chunk = 1; chunk <= expected.size() + 1; ++chunk) {
    PieceSink sink;
    Writer out(Layout::compact, sink, chunk);
    out.begin_object();
    out.key("é");
    out.string("é€😀");
    out.key("e\"s");
    out.begin_array();
    out.string("\\\\");
    out.string("\n\t\x01");
    out.string("a\x1fé");
    out.string("😀😀\"€");
    out.end_array();
    out.key("n");
    out.uint64(7);
    out.end_object();
    Result<std::string> rest = std::move(out).finish();
    ASSERT_TRUE(rest.ok()) << rest.error();
    EXPECT_EQ(*rest, "");
    std::string whole;
    for (std::size_t i = 0; i < sink.pieces.size(); ++i) {
      const std::string& piece = sink.pieces[i];
      whole += piece;
      if (i + 1 < sink.pieces.size()) {
        EXPECT_GE(piece.size(), chunk) << chunk;
      }
      EXPECT_TRUE(is_valid_utf8(piece)) << chunk << " " << piece;
      const std::size_t backslashes = piece.size() - piece.find_last_not_of('\\') - 1;
      EXPECT_EQ(backslashes % 2, 0u) << chunk << " " << piece;
    }
    EXPECT_EQ(whole, expected) << chunk;
  }
}

}  // namespace
}  // namespace quendal::json
