#include "util/timestamp.h"

#include <limits>

#include "util/text.h"

namespace quendal {
namespace {

constexpr std::int64_t k_seconds_per_day = 86400;
constexpr std::uint32_t k_nanoseconds_per_second = 1000000000;

// Days since 1970-01-01 of a proleptic Gregorian date, and back; free of overflow for every
// year of up to twelve digits and every day count that 64-bit seconds can hold.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2);
  return CivilDate{year, month, day};
}

bool is_leap_year(std::int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned k_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : k_days[month - 1];
}

// A cursor over the text being read.
class Reader {
 public:
  explicit Reader(std::string_view text) : m_text(text) {}

  bool at_end() const { return m_pos == m_text.size(); }
  char peek() const { return at_end() ? '\0' : m_text[m_pos]; }
  void advance() { ++m_pos; }

  bool digits(std::size_t count, unsigned& out) {
    out = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = peek();
      if (c < '0' || c > '9') return false;
      out = out * 10 + static_cast<unsigned>(c - '0');
      advance();
    }
    return true;
  }

  bool literal(char c) {
    if (peek() != c) return false;
    advance();
    return true;
  }

  std::string_view rest() const { return m_text.substr(m_pos); }

 private:
  std::string_view m_text;
  std::size_t m_pos = 0;
};

// Appends `value` as exactly `width` decimal digits, with leading zeros.
void append_digits(std::string& text, std::uint32_t value, std::size_t width) {
  char digits[10];
  for (std::size_t i = width; i > 0; --i) {
    digits[i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  text.append(digits, width);
}

Failure not_a_timestamp(std::string_view text) {
  return Failure{quoted_excerpt(text) + " is not an RFC 3339 date-time with an offset"};
}

}  // namespace

std::string format_timestamp(const Instant& instant) {
  std::int64_t seconds = instant.seconds;
  std::uint32_t nanoseconds = instant.nanoseconds;
  bool leap = false;
  if (nanoseconds >= k_nanoseconds_per_second) {
    leap = true;
    nanoseconds -= k_nanoseconds_per_second;
  }
  std::int64_t days = seconds / k_seconds_per_day;
  std::int64_t second_of_day = seconds % k_seconds_per_day;
  if (second_of_day < 0) {
    second_of_day += k_seconds_per_day;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  const auto hour = static_cast<unsigned>(second_of_day / 3600);
  const auto minute = static_cast<unsigned>(second_of_day / 60 % 60);
  const unsigned second = static_cast<unsigned>(second_of_day % 60) + (leap ? 1 : 0);

  std::string text;
  text.reserve(40);
  if (date.year < 0 || date.year > 9999) text += date.year < 0 ? '-' : '+';
  const std::uint64_t year_digits = date.year < 0 ? 0 - static_cast<std::uint64_t>(date.year)
                                                  : static_cast<std::uint64_t>(date.year);
  const std::string year = std::to_string(year_digits);
  if (year.size() < 4) text.append(4 - year.size(), '0');
  text += year;
  text += '-';
  append_digits(text, date.month, 2);
  text += '-';
  append_digits(text, date.day, 2);
  text += 'T';
  append_digits(text, hour, 2);
  text += ':';
  append_digits(text, minute, 2);
  text += ':';
  append_digits(text, second, 2);
  if (nanoseconds != 0) {
    text += '.';
    if (nanoseconds % 1000000 == 0) {
      append_digits(text, nanoseconds / 1000000, 3);
    } else if (nanoseconds % 1000 == 0) {
      append_digits(text, nanoseconds / 1000, 6);
    } else {
      append_digits(text, nanoseconds, 9);
    }
  }
  text += 'Z';
  return text;
}

Result<Instant> parse_timestamp(std::string_view text) {
  Reader in(text);
  // Year: four digits, or a sign and at least four digits (the form written for far years).
  std::int64_t year = 0;
  {
    bool negative = false;
    bool extended = false;
    if (in.peek() == '+' || in.peek() == '-') {
      negative = in.peek() == '-';
      extended = true;
      in.advance();
    }
    std::size_t count = 0;
    while (in.peek() >= '0' && in.peek() <= '9') {
      if (count == 12) return not_a_timestamp(text);
      year = year * 10 + (in.peek() - '0');
      in.advance();
      ++count;
    }
    if (count < 4 || (!extended && count != 4)) return not_a_timestamp(text);
    if (negative) year = -year;
  }
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!in.literal('-') || !in.digits(2, month) || !in.literal('-') || !in.digits(2, day)) {
    return not_a_timestamp(text);
  }
  if (!(in.literal('T') || in.literal('t') || in.literal(' '))) return not_a_timestamp(text);
  if (!in.digits(2, hour) || !in.literal(':') || !in.digits(2, minute) || !in.literal(':') ||
      !in.digits(2, second)) {
    return not_a_timestamp(text);
  }
  std::uint32_t nanoseconds = 0;
  if (in.literal('.')) {
    std::size_t count = 0;
    while (in.peek() >= '0' && in.peek() <= '9') {
      // Digits beyond the ninth are below the precision of an instant and are dropped.
      if (count < 9) nanoseconds = nanoseconds * 10 + static_cast<std::uint32_t>(in.peek() - '0');
      in.advance();
      ++count;
    }
    if (count == 0) return not_a_timestamp(text);
    for (; count < 9; ++count) nanoseconds *= 10;
  }
  for (std::size_t n = white_space_prefix(in.rest()); n > 0; --n) in.advance();

  std::int64_t offset_seconds = 0;
  const std::string_view rest = in.rest();
  if (rest == "Z" || rest == "z") {
  } else if (rest.size() == 3 && (rest[0] == 'U' || rest[0] == 'u') &&
             (rest[1] == 'T' || rest[1] == 't') && (rest[2] == 'C' || rest[2] == 'c')) {
  } else {
    const char sign = in.peek();
    if (sign != '+' && sign != '-') return not_a_timestamp(text);
    in.advance();
    unsigned offset_hour = 0, offset_minute = 0;
    if (!in.digits(2, offset_hour) || !in.literal(':') || !in.digits(2, offset_minute) ||
        !in.at_end() || offset_hour > 23 || offset_minute > 59) {
      return not_a_timestamp(text);
    }
    offset_seconds = static_cast<std::int64_t>(offset_hour * 3600 + offset_minute * 60);
    if (sign == '-') offset_seconds = -offset_seconds;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return not_a_timestamp(text);
  }
  // A twelve-digit year reaches far beyond 64-bit seconds, and an offset can push an instant
  // just inside the range past either end: the sum is formed in 128 bits and must fit.
  __extension__ using Wide = __int128;
  const Wide seconds = static_cast<Wide>(days_from_civil(year, month, day)) * k_seconds_per_day +
                       hour * 3600 + minute * 60 + (second == 60 ? 59 : second) - offset_seconds;
  if (seconds < std::numeric_limits<std::int64_t>::min() ||
      seconds > std::numeric_limits<std::int64_t>::max()) {
    return not_a_timestamp(text);
  }
  Instant instant;
  instant.seconds = static_cast<std::int64_t>(seconds);
  instant.nanoseconds = nanoseconds + (second == 60 ? k_nanoseconds_per_second : 0);
  return instant;
}

}  // namespace quendal
