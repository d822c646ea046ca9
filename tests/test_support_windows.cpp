// The parts of the test fixtures that differ on Windows.
#include <filesystem>

#include "platform/platform_windows.h"
#include "platform/windows_api.h"
#include "test_support.h"

namespace quendal::test {

void set_modified_time(const std::string& path, std::int64_t seconds, std::int64_t nanoseconds) {
  // MinGW's std::filesystem sets whole seconds only, truncated towards 1970, so 1969-12-31
  // 23:59:59.5 would become 1970-01-01 00:00:00; the system call takes 100 ns ticks from 1601.
  const auto ticks =
      static_cast<std::uint64_t>(116444736000000000 + seconds * 10000000 + nanoseconds / 100);
  const FILETIME time{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
  const HANDLE file = ::CreateFileW(std::filesystem::path(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot open " << path;
  EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &time)) << "cannot set the time of " << path;
  ::CloseHandle(file);
}

std::optional<std::size_t> open_handle_count() {
  // The process's handle count also moves with threads and events of the pool and the runtime,
  // so it says nothing certain about files.
  return std::nullopt;
}

std::optional<std::string> expected_cause(std::string_view, unsigned long windows_error) {
  if (windows_error == 0) return std::nullopt;
  return platform::windows::error_text(windows_error);
}

}  // namespace quendal::test
