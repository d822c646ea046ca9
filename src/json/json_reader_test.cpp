#include "json/json_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>

namespace quendal::json {
namespace {

struct Record {
  std::string name;
  std::uint64_t count = 0;
  std::optional<std::int64_t> offset;
  std::optional<std::string> note;
  std::vector<std::string> tags;
};

// A record with one field of every kind the readers use.
class RecordReader final : public RecordTarget {
 public:
  explicit RecordReader(Record& out)
      : RecordTarget(k_fields), m_out(out), m_tags("tags", &out.tags) {}

  std::string on_scalar(const Scalar& value) override {
    switch (field()) {
      case 0: return read_string(value, m_out.name);
      case 1: return read_uint64(value, m_out.count);
      case 2: return read_optional_int64(value, m_out.offset);
      case 3: return read_optional_string(value, m_out.note);
      default: return wrong_type("an array of strings");
    }
  }
  std::string on_nested(bool is_object, Target*& child) override {
    if (field() != 4 || is_object) return wrong_type("something else");
    child = &m_tags;
    return {};
  }

 private:
  static constexpr std::array<FieldSpec, 5> k_fields = {{
      {"name", true},
      {"count", false},
      {"offset", false},
      {"note", false},
      {"tags", false},
  }};
  Record& m_out;
  StringListTarget m_tags;
};

Result<Record> read(std::string_view text) {
  Record record;
  RecordReader reader(record);
  Result<void> done = read_document(text, reader);
  if (!done.ok()) return done.failure();
  return record;
}

std::string fault(std::string_view text) {
  Result<Record> record = read(text);
  return record.ok() ? "(no fault)" : record.error();
}

TEST(ReadDocument, DeliversEveryFieldOfARecord) {
  Result<Record> record =
      read(R"({"name":"n","count":18446744073709551615,"offset":-9223372036854775808,)"
           R"("note":null,"tags":["a","b"]})"
           " \t\r\n");  // JSON white space may follow the root
  ASSERT_TRUE(record.ok()) << record.error();
  EXPECT_EQ(record->name, "n");
  EXPECT_EQ(record->count, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(record->offset, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(record->note, std::nullopt);
  EXPECT_EQ(record->tags, (std::vector<std::string>{"a", "b"}));
}

TEST(ReadDocument, JoinsKeysAndStringsThatContainEscapes) {
  Result<Record> record =
      read(R"({"sk\u0069p":"v\u0041lue","na\u006de":"line\nbreak \u00e9 \ud83d\ude00 \"q\" \\",)"
           R"("note":"plain","tags":["\u0041b","\/c"]})");
  ASSERT_TRUE(record.ok()) << record.error();
  EXPECT_EQ(record->name, "line\nbreak é 😀 \"q\" \\");
  EXPECT_EQ(record->note, "plain");
  EXPECT_EQ(record->tags, (std::vector<std::string>{"Ab", "/c"}));
}

TEST(ReadDocument, SkipsUnknownKeysWhateverTheirValue) {
  Result<Record> record =
      read(R"({"x":{"name":5,"deep":[[{"tags":null}]]},"name":"n","y":[1,"two",{"three":3}],)"
           R"("z":null,"w":-1.5e3,"NAME":7,"Count":"x","t":true})");
  ASSERT_TRUE(record.ok()) << record.error();
  EXPECT_EQ(record->name, "n");
  EXPECT_EQ(record->count, 0u);
  EXPECT_TRUE(record->tags.empty());
}

TEST(ReadDocument, DescribesEachFaultWithLineAndColumn) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"name":"a","name":"b"})", "duplicate key 'name' at line 1, column 18"},
      {R"({"count":1})", "missing required key 'name' at line 1, column 11"},
      {R"({"name":1})", "key 'name' must be a string at line 1, column 10"},
      {R"({"name":null})", "key 'name' must be a string at line 1, column 9"},
      {R"({"name":"n","count":-1})",
       "key 'count' must be an integer from 0 to 18446744073709551615 at line 1, column 23"},
      {R"({"name":"n","count":18446744073709551616})",
       "key 'count' must be an integer from 0 to 18446744073709551615 at line 1, column 41"},
      {R"({"name":"n","offset":9223372036854775808})",
       "key 'offset' must be a signed 64-bit integer or null at line 1, column 41"},
      {R"({"name":"n","note":{}})", "key 'note' must be something else at line 1, column 20"},
      {R"({"name":"n","tags":null})",
       "key 'tags' must be an array of strings at line 1, column 20"},
      {R"({"name":"n","tags":["a",2]})", "elements of 'tags' must be strings at line 1, column 26"},
      {R"({"name":"n","tags":["a",["b"]]})",
       "elements of 'tags' must be strings at line 1, column 25"},
      {R"([])", "the document is not a JSON object at line 1, column 1"},
      {R"({"name":"n"} x)", "unexpected data after the document at line 1, column 14"},
      {"{\"name\":\"n\"}\n\n  {", "unexpected data after the document at line 3, column 3"},
      {"{\"name\":\"n\"}\f", "unexpected data after the document at line 1, column 13"},
      {"{\"name\":\"n\"}\u00a0", "unexpected data after the document at line 1, column 13"},
      {"{\n  \"name\": \"a\",\n  \"name\": \"b\"\n}", "duplicate key 'name' at line 3, column 8"},
      // Columns count characters, not bytes.
      {R"({"é€":1,"name":"a","name":"b"})", "duplicate key 'name' at line 1, column 25"},
      {"\xef\xbb\xbf{\"name\":\"n\"}", "syntax error at line 1, column 1"},
      {"", "incomplete JSON at line 1, column 1"},
      {R"({"name":"n",})", "syntax error at line 1, column 13"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(fault(text), expected) << text;
}

// A document with `depth` levels of nesting, counting the root object.
std::string nested(std::size_t depth) {
  return R"({"x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + R"(,"name":"n"})";
}

TEST(ReadDocument, NestingDeeperThan256LevelsFails) {
  EXPECT_TRUE(read(nested(k_max_depth)).ok());
  EXPECT_EQ(fault(nested(k_max_depth + 1)), "too deep at line 1, column 261");
  EXPECT_EQ(fault(nested(100000)), "too deep at line 1, column 261");
}

}  // namespace
}  // namespace quendal::json
