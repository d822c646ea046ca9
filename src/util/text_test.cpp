#include "util/text.h"

#include <gtest/gtest.h>

#include <string>

namespace quendal {
namespace {

TEST(IsWhiteSpace, HoldsExactlyTheWhiteSpaceProperty) {
  const std::u32string members =
      U"\x09\x0a\x0b\x0c\x0d\x20\x85\xa0\u1680\u2000\u2005\u200a"
      U"\u2028\u2029\u202f\u205f\u3000";
  // Neighbours of the members, and look-alikes that lack the property.
  const std::u32string others =
      U"\x08\x0e\x1f\x21\x84\x86\xa1\u167f\u180e\u1fff\u200b\u2027"
      U"\u202a\u2030\u205e\u2060\u3001\ufeff";
  for (char32_t c : members) EXPECT_TRUE(is_white_space(c)) << static_cast<unsigned>(c);
  for (char32_t c : others) EXPECT_FALSE(is_white_space(c)) << static_cast<unsigned>(c);
  EXPECT_FALSE(is_white_space(0));
}

TEST(IsBlank, EmptyOrOnlyWhiteSpaceCountsAsBlank) {
  for (const char* blank : {"", " \t\r\n\v\f", "\u3000\u00a0\u2028 \u0085"}) {
    EXPECT_TRUE(is_blank(blank)) << blank;
  }
  // Zero width space is no white space; bytes of a character cut short are not either.
  for (const char* text : {" x ", "x", "\u200b", "\xa0", " \xe3\x80"}) {
    EXPECT_FALSE(is_blank(text)) << text;
  }
}

TEST(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(trim_white_space(" \u3000a \u2029b\u00a0\t"), "a \u2029b");
  EXPECT_EQ(trim_white_space("\u2003\u2003"), "");
  EXPECT_EQ(trim_white_space("é "), "é");
  EXPECT_EQ(trim_white_space(" \x80 "), "\x80");
  EXPECT_EQ(trim_white_space("a\xe3\x80"), "a\xe3\x80");
}

TEST(WhiteSpacePrefix, MeasuresLeadingUnicodeWhiteSpaceInBytes) {
  // Zero width space is no white space, nor is a lone byte of one or a character cut short.
  const std::pair<const char*, std::size_t> cases[] = {
      {"", 0},         {"x ", 0},    {" \t+02:00", 2}, {"\u00a0\u3000Z", 5}, {"\u2003\u0085", 5},
      {"\u200b Z", 0}, {"\xa0Z", 0}, {" \xe3\x80", 1},
  };
  for (const auto& [text, length] : cases) {
    EXPECT_EQ(white_space_prefix(text), length) << testing::PrintToString(std::string(text));
  }
}

TEST(OneLine, EscapesWhatWouldBreakTheLineOrDriveATerminal) {
  const std::pair<std::string, std::string> cases[] = {
      {"/games/a b/\u00e9\u20ac\U0001f600.pak", "/games/a b/\u00e9\u20ac\U0001f600.pak"},
      {"x\nWarning: forged\r\n", "x\\nWarning: forged\\r\\n"},
      {"\x1b[31mred\x1b[0m", "\\u001b[31mred\\u001b[0m"},
      {std::string("\0\x7f", 2) + "\u0085\u009b\u00a0", "\\u0000\\u007f\\u0085\\u009b\u00a0"},
      // Bytes that are not UTF-8: a lone C1 byte, an overlong form, a cut sequence.
      {"a\x9b\xc0\xaf\xe2\x82", "a\\x9b\\xc0\\xaf\\xe2\\x82"},
  };
  for (const auto& [text, line] : cases) {
    EXPECT_EQ(one_line(text), line) << testing::PrintToString(text);
  }
}

TEST(QuotedExcerpt, QuotesCutsAfter120CodePointsAndEscapesControlCharacters) {
  const std::string a119(119, 'a');
  const std::string a120(120, 'a');
  std::string e120;
  for (int i = 0; i < 120; ++i) e120 += "\u00e9";
  const std::pair<std::string, std::string> cases[] = {
      {"", "''"},
      {"Critical", "'Critical'"},
      {"a\\b 'c' \u20ac", "'a\\b 'c' \u20ac'"},
      {"a\nb\r\t\b\f", "'a\\nb\\r\\t\\b\\f'"},
      {std::string("\0\x01\x1b\x1f\x7f", 5), "'\\u0000\\u0001\\u001b\\u001f\\u007f'"},
      {a120, "'" + a120 + "'"},
      {a120 + "b", "'" + a120 + "\u2026'"},
      {std::string(25 << 20, 'x'), "'" + std::string(120, 'x') + "\u2026'"},
      {e120, "'" + e120 + "'"},
      {e120 + "\u00e9", "'" + e120 + "\u2026'"},
      // A four-byte character at the limit is kept whole; a control character beyond it is gone.
      {a119 + "\U0001f600\n", "'" + a119 + "\U0001f600\u2026'"},
      {a119 + "\n\n", "'" + a119 + "\\n\u2026'"},
  };
  for (const auto& [text, quoted] : cases) {
    EXPECT_EQ(quoted_excerpt(text), quoted) << testing::PrintToString(text.substr(0, 200));
  }
}

TEST(IsValidUtf8, AcceptsWellFormedAndRejectsMalformedText) {
  for (const char* text : {"", "plain", "\xc2\x80", "é", "\u20ac", "\xef\xbf\xbf",
                           "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(is_valid_utf8(text)) << text;
  }
  // A lone continuation, overlong forms, surrogates, beyond U+10FFFF, bad lead bytes, cut short.
  for (const char* text : {"\x80", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xf0\x80\x80\x80",
                           "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",
                           "\xff", "\xc3", "\xe2\x82", "\xe2\x28\xa1"}) {
    EXPECT_FALSE(is_valid_utf8(text)) << testing::PrintToString(std::string(text));
  }
}

TEST(ValidUtf8Prefix, StopsAtTheFirstMalformedSequenceAfterAnyAsciiRun) {
  EXPECT_EQ(valid_utf8_prefix("é\xed\xa0\x80"), 2u);
  EXPECT_EQ(valid_utf8_prefix("\xff"
                              "abc"),
            0u);
  for (std::size_t run = 0; run <= 40; ++run) {
    const std::string ascii(run, 'a');
    EXPECT_EQ(valid_utf8_prefix(ascii + "\xe2\x82" + ascii), run) << run;
    EXPECT_EQ(valid_utf8_prefix(ascii + "\u20ac" + ascii + "\xff"), 2 * run + 3) << run;
    EXPECT_TRUE(is_valid_utf8(ascii + "\u3000" + ascii));
  }
}

TEST(EqualsIgnoringAsciiCase, FoldsAsciiLettersAndNothingElse) {
  EXPECT_TRUE(equals_ignoring_ascii_case("SHA256", "sha256"));
  EXPECT_TRUE(equals_ignoring_ascii_case("", ""));
  // "@" and "`", "[" and "{" differ by the case bit but are no letters.
  for (auto [a, b] :
       {std::pair{"sha256 ", "sha256"}, {"sha25", "sha256"}, {"Ä", "ä"}, {"@", "`"}, {"[", "{"}}) {
    EXPECT_FALSE(equals_ignoring_ascii_case(a, b)) << a << " " << b;
  }
}

}  // namespace
}  // namespace quendal
