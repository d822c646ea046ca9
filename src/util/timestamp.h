// Instants and their one textual form: UTC date, "T", time, a fraction of 0, 3, 6 or 9 digits
// and "Z". Used for the manifest's publishedAt, the cache's generatedAt and the report's
// scannedAt.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/result.h"

namespace quendal {

// A UTC instant with nanosecond precision. `nanoseconds` is below 1000000000 except during a
// leap second, when the second of the minute is 60 (seconds then counts the 59th second).
struct Instant {
  std::int64_t seconds = 0;  // since 1970-01-01T00:00:00Z, negative before
  std::uint32_t nanoseconds = 0;

  friend bool operator==(const Instant&, const Instant&) = default;
};

// The timestamp text of `instant`, e.g. "2026-01-31T00:00:00.250Z". Years outside 0 to 9999
// carry an explicit sign and at least four digits.
std::string format_timestamp(const Instant& instant);

// Reads an RFC 3339 date-time with "Z" or a numeric offset and converts it to UTC. Also
// accepts "t" or a space between date and time, white space before the offset, and "UTC" in
// any letter case as the offset. Fails with a description of the fault.
Result<Instant> parse_timestamp(std::string_view text);

}  // namespace quendal
