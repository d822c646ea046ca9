// Fuzzes the timestamp text: what is written reads back as the same instant, both for a text
// that parses and for any instant built from the input's bytes; a text that fails gives a
// one-line description.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "util/timestamp.h"

using namespace quendal;

namespace {

void check_round_trip(const Instant& instant) {
  const std::string written = format_timestamp(instant);
  FUZZ_CHECK(!written.empty() && written.back() == 'Z');
  Result<Instant> back = parse_timestamp(written);
  FUZZ_CHECK(back.ok());
  FUZZ_CHECK(*back == instant);
  FUZZ_CHECK(format_timestamp(*back) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Result<Instant> parsed = parse_timestamp(text);
  if (parsed.ok()) {
    FUZZ_CHECK(parsed->nanoseconds < 2000000000u);
    check_round_trip(*parsed);
  } else {
    FUZZ_CHECK(!parsed.error().empty() && parsed.error().find('\n') == std::string::npos);
  }

  if (size >= 12) {
    Instant instant;
    std::uint32_t fraction = 0;
    std::memcpy(&instant.seconds, data, 8);
    std::memcpy(&fraction, data + 8, 4);
    instant.nanoseconds = fraction % 1000000000u;
    // A leap second: only the 59th second of a minute can carry one.
    const std::int64_t second_of_minute = (instant.seconds % 60 + 60) % 60;
    if ((fraction & 0x80000000u) != 0 && second_of_minute == 59) {
      instant.nanoseconds += 1000000000u;
    }
    check_round_trip(instant);
  }
  return 0;
}
