#include "util/timestamp.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace quendal {
namespace {

constexpr std::int64_t k_2026_01_31 = 1769817600;  // 2026-01-31T00:00:00Z
constexpr std::int64_t k_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t k_max = std::numeric_limits<std::int64_t>::max();

struct Written {
  Instant instant;
  const char* text;
};

// Instants and their timestamp text. Every text here is also read back to its instant.
const Written k_written[] = {
    {{0, 0}, "1970-01-01T00:00:00Z"},
    {{k_2026_01_31, 0}, "2026-01-31T00:00:00Z"},
    {{k_2026_01_31, 250000000}, "2026-01-31T00:00:00.250Z"},
    {{k_2026_01_31 + 8 * 3600 + 5 * 60 + 9, 123456700}, "2026-01-31T08:05:09.123456700Z"},
    {{k_2026_01_31, 120000000}, "2026-01-31T00:00:00.120Z"},
    {{k_2026_01_31, 120100000}, "2026-01-31T00:00:00.120100Z"},
    {{k_2026_01_31, 1000}, "2026-01-31T00:00:00.000001Z"},
    {{k_2026_01_31, 1}, "2026-01-31T00:00:00.000000001Z"},
    {{k_2026_01_31, 999999999}, "2026-01-31T00:00:00.999999999Z"},
    {{1709164800, 0}, "2024-02-29T00:00:00Z"},
    {{-1, 500000000}, "1969-12-31T23:59:59.500Z"},
    {{-62135596800, 0}, "0001-01-01T00:00:00Z"},
    {{-62167219200, 0}, "0000-01-01T00:00:00Z"},
    {{-62167219201, 0}, "-0001-12-31T23:59:59Z"},
    {{253402300799, 0}, "9999-12-31T23:59:59Z"},
    {{253402300800, 0}, "+10000-01-01T00:00:00Z"},
    // A leap second: the 59th second of the minute with a second's worth of extra nanoseconds.
    {{1483228799, 1000000000}, "2016-12-31T23:59:60Z"},
    {{1483228799, 1500000000}, "2016-12-31T23:59:60.500Z"},
    // The ends of 64-bit seconds, with the leap seconds nearest to them. Worked out with Python's
    // datetime after moving the day count by whole 400-year cycles of 146097 days.
    {{k_min, 0}, "-292277022657-01-27T08:29:52Z"},
    {{k_min, 999999999}, "-292277022657-01-27T08:29:52.999999999Z"},
    {{k_min + 7, 1000000000}, "-292277022657-01-27T08:29:60Z"},
    {{k_max, 0}, "+292277026596-12-04T15:30:07Z"},
    {{k_max, 999999999}, "+292277026596-12-04T15:30:07.999999999Z"},
    {{k_max - 8, 1500000000}, "+292277026596-12-04T15:29:60.500Z"},
};

TEST(FormatTimestamp, WritesUtcWithAFractionOf0To9Digits) {
  for (const Written& w : k_written) {
    EXPECT_EQ(format_timestamp(w.instant), w.text)
        << w.instant.seconds << " s " << w.instant.nanoseconds << " ns";
  }
}

TEST(ParseTimestamp, ReadsEveryWrittenTextBackToItsInstant) {
  for (const Written& w : k_written) {
    Result<Instant> instant = parse_timestamp(w.text);
    ASSERT_TRUE(instant.ok()) << w.text << ": " << instant.error();
    EXPECT_EQ(*instant, w.instant) << w.text;
  }
}

TEST(ParseTimestamp, AppliesOffsetsAcceptsLenientFormsAndKeepsNineDigits) {
  const Instant eight{1772352000, 0};  // 2026-03-01T08:00:00Z
  const std::pair<const char*, Instant> cases[] = {
      {"2026-03-01T10:00:00+02:00", eight},
      {"2026-03-01T03:30:00-04:30", eight},
      {"2026-03-01T08:00:00-00:00", eight},
      {"2026-03-02T07:59:00+23:59", eight},
      {"2026-02-28T22:00:00-10:00", eight},
      {"2026-03-01T08:00:00z", eight},
      {"2026-03-01t08:00:00Z", eight},
      {"2026-03-01 08:00:00 UTC", eight},
      {"2026-03-01 08:00:00utc", eight},
      {"2026-03-01T08:00:00 \tUtC", eight},
      {"2026-03-01T08:00:00 Z", eight},
      {"2026-03-01T08:00:00 +00:00", eight},
      {"2026-01-31T00:00:00.5Z", {k_2026_01_31, 500000000}},
      {"2026-01-31T00:00:00.0000001Z", {k_2026_01_31, 100}},
      {"2026-01-31T00:00:00.1234567891Z", {k_2026_01_31, 123456789}},
      {"2026-01-31T01:00:00.25+01:00", {k_2026_01_31, 250000000}},
      // Any Unicode white space before the offset.
      {"2026-03-01T08:00:00\u00a0Z", eight},
      {"2026-03-01T10:00:00\u2003\u3000+02:00", eight},
      {"2026-03-01T08:00:00\u0085\u2028\r\nUTC", eight},
      // Offsets that bring a text beyond the ends of 64-bit seconds back inside.
      {"+292277026596-12-04T16:30:07+01:00", {k_max, 0}},
      {"-292277022657-01-27T07:29:52-01:00", {k_min, 0}},
  };
  for (const auto& [text, expected] : cases) {
    Result<Instant> instant = parse_timestamp(text);
    ASSERT_TRUE(instant.ok()) << text << ": " << instant.error();
    EXPECT_EQ(*instant, expected) << text;
  }
}

TEST(ParseTimestamp, RejectsTextsThatAreNotADateTimeWithAnOffset) {
  Result<Instant> failed = parse_timestamp("2026-03-01T08:00:00");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "'2026-03-01T08:00:00' is not an RFC 3339 date-time with an offset");
  // Parts missing, malformed offsets, stray characters, short or long fields, impossible dates.
  for (const char* text :
       {"", "2026-03-01", "2026-03-01T08:00Z", "2026-03-01T08:00:00.Z", "2026-03-01T08:00:00+0200",
        "2026-03-01T08:00:00+02", "2026-03-01T08:00:00+24:00", "2026-03-01T08:00:00+02:60",
        "2026-03-01T08:00:00Z ", " 2026-03-01T08:00:00Z", "2026-03-01T08:00:00ZZ",
        "2026-03-01T08:00:00UTCX", "2026-03-01T08:00:00GMT", "2026-03-01_08:00:00Z",
        "2026-3-01T08:00:00Z", "26-03-01T08:00:00Z", "20260-03-01T08:00:00Z",
        "2026-00-01T08:00:00Z", "2026-13-01T08:00:00Z", "2026-04-31T08:00:00Z",
        "2026-02-29T08:00:00Z", "1900-02-29T08:00:00Z", "2026-03-01T24:00:00Z",
        "2026-03-01T08:60:00Z", "2026-03-01T08:00:61Z",
        // Not white space: zero width space, a stray byte, a cut character.
        "2026-03-01T08:00:00\u200bZ", "2026-03-01T08:00:00\xa0Z", "2026-03-01T08:00:00\xe3\x80Z",
        // Instants beyond 64-bit seconds, also by an offset or a leap second.
        "+999999999999-01-01T00:00:00Z", "-999999999999-12-31T23:59:59Z",
        "+1000000000000-01-01T00:00:00Z", "+292277026596-12-04T15:30:08Z",
        "+292277026596-12-04T15:30:07.999999999-00:01", "+292277026596-12-04T15:30:60Z",
        "-292277022657-01-27T08:29:51.999999999Z", "-292277022657-01-27T08:29:52+00:01"}) {
    EXPECT_FALSE(parse_timestamp(text).ok()) << '"' << text << '"';
  }
  // A long text is quoted in part only.
  failed = parse_timestamp(std::string(1000, '9'));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(),
            "'" + std::string(120, '9') + "\u2026' is not an RFC 3339 date-time with an offset");
}

}  // namespace
}  // namespace quendal
