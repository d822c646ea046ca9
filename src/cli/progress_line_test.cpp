#include "cli/progress_line.h"

#include <gtest/gtest.h>

namespace quendal {
namespace {

constexpr std::uint64_t k_kib = 1024;
constexpr std::uint64_t k_mib = 1024 * k_kib;
constexpr std::uint64_t k_gib = 1024 * k_mib;

TEST(FormatProgressLine, GroupsThousandsAndPicksUnitsInStepsOf1024) {
  struct Case {
    ScanProgress progress;
    double seconds;
    const char* line;
  };
  const Case cases[] = {
      // 1237.5 MiB in 2.75 s is 450 MiB/s.
      {{ScanPhase::checking_files, 12345, 100000, 1237 * k_mib + k_mib / 2, 3 * k_gib + k_gib / 8},
       2.75,
       "checking 12,345 / 100,000 files, 1.2 / 3.1 GiB, 450 MiB/s"},
      {{ScanPhase::checking_files, 0, 3, 0, 0}, 0, "checking 0 / 3 files, 0 / 0 B, 0 B/s"},
      {{ScanPhase::checking_files, 999, 1000, 1000, 1023},
       2,
       "checking 999 / 1,000 files, 1000 / 1023 B, 500 B/s"},
      // The unit of the larger; one decimal rounded down; a speed below 10 units with one.
      {{ScanPhase::checking_files, 1, 1234567, 1023, 1024},
       1,
       "checking 1 / 1,234,567 files, 0.9 / 1.0 KiB, 1023 B/s"},
      {{ScanPhase::checking_files, 7, 7, 5 * k_mib - 1, 5 * k_mib - 1},
       0.5,
       "checking 7 / 7 files, 4.9 / 4.9 MiB, 9.9 MiB/s"},
      {{ScanPhase::checking_files, 7, 7, 10 * k_mib, 10 * k_mib},
       1,
       "checking 7 / 7 files, 10.0 / 10.0 MiB, 10 MiB/s"},
      {{ScanPhase::checking_files, 1, 2, 3 * k_gib, 5000 * k_gib},
       0.5,
       "checking 1 / 2 files, 0.0 / 4.8 TiB, 6.0 GiB/s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_progress_line(c.progress, c.seconds), c.line);
  }
}

}  // namespace
}  // namespace quendal
