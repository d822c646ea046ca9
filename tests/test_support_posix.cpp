// The parts of the test fixtures that differ on POSIX systems.
#include <chrono>
#include <filesystem>

#include "test_support.h"

namespace quendal::test {

void set_modified_time(const std::string& path, std::int64_t seconds, std::int64_t nanoseconds) {
  const std::chrono::sys_time<std::chrono::nanoseconds> instant{
      std::chrono::seconds{seconds} + std::chrono::nanoseconds{nanoseconds}};
  std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(instant));
}

std::optional<std::size_t> open_handle_count() {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/self/fd", error);
  if (error) return std::nullopt;
  std::size_t count = 0;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) ++count;
  return count;
}

std::optional<std::string> expected_cause(std::string_view posix_cause, unsigned long) {
  return std::string(posix_cause);
}

}  // namespace quendal::test
