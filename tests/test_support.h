// Fixtures shared by the unit tests: real temporary directories and files, file contents with a
// known digest, failure checks that compare the operating system's cause exactly on POSIX, and
// the few things that differ by platform (path forms, faults, error codes).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "util/digest_text.h"
#include "util/result.h"

namespace quendal::test {

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory itself, or `relative` (written with "/") inside it, as UTF-8 text.
  std::string path(std::string_view relative = {}) const;

  // `relative` (written with "/") inside the directory as the scan builds it from path() and a
  // manifest path: joined with the platform's separator.
  std::string disk_path(std::string_view relative) const;

 private:
  std::filesystem::path m_path;
};

// Writes `content` to `path`, creating missing parent directories, replacing an existing file.
void write_file(const std::string& path, std::string_view content);

// The whole content of `path`; fails the current test when it cannot be read.
std::string read_file(const std::string& path);

// The names in directory `path`, sorted.
std::vector<std::string> list_directory(const std::string& path);

// Sets the last-write time of `path` to `seconds` and `nanoseconds` after 1970-01-01T00:00:00Z.
void set_modified_time(const std::string& path, std::int64_t seconds, std::int64_t nanoseconds = 0);

// `size` bytes where byte i is (i * 131 + i / 8191) % 251: long, not periodic in the read
// buffer's size, and cheap to write again in any language to compute its digest.
std::string patterned_content(std::size_t size);

// `relative` (written with "/") with the platform's separator.
std::string native(std::string relative);

// A name one character longer than any file-system component may be.
std::string overlong_name();

// The number of files (on Windows: handles) this process has open, or nullopt where the system
// cannot tell.
std::optional<std::size_t> open_handle_count();

// True when the tests run on Windows (natively or under Wine).
bool on_windows();

// A file name whose metadata cannot be read for a reason other than "not found": on POSIX
// overlong_name() (ENAMETOOLONG, "File name too long"); on Windows, which under Wine reports an
// overlong name as not found, a name holding "<" (ERROR_INVALID_NAME).
std::string refused_name();
inline constexpr std::string_view k_refused_name_cause = "File name too long";
inline constexpr unsigned long k_refused_name_error = 123;

// The client root the tool resolves the existing directory `path` to: its canonical absolute
// path; on Windows in the extended-length form with "\" ("\\?\C:\...").
std::string client_root(const std::string& path);

// Changes the current directory for the life of the object.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& path);
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::filesystem::path m_previous;
};

// Succeeds when `error` is `fixed` followed by the cause. The cause is the operating system's
// text, which only POSIX systems word alike: on POSIX it must be `posix_cause`; on Windows it
// must be this system's text for the error code `windows_error` when one is given (Wine's
// texts differ from Windows'), and otherwise only `fixed` is compared.
::testing::AssertionResult is_failure_text(const std::string& error, const std::string& fixed,
                                           std::string_view posix_cause,
                                           unsigned long windows_error = 0);

// The cause is_failure_text expects after the fixed part, or nullopt when only the fixed part
// can be compared. Defined per platform.
std::optional<std::string> expected_cause(std::string_view posix_cause,
                                          unsigned long windows_error);

template <typename T>
::testing::AssertionResult failed_with(const Result<T>& result, const std::string& fixed,
                                       std::string_view posix_cause = {},
                                       unsigned long windows_error = 0) {
  if (result.ok()) return ::testing::AssertionFailure() << "succeeded; expected " << fixed;
  return is_failure_text(result.error(), fixed, posix_cause, windows_error);
}

inline constexpr std::string_view k_sha256_abc =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
inline constexpr std::string_view k_sha256_empty =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

}  // namespace quendal::test

namespace quendal {
// A digest's text, for test failures and verdict lines.
inline std::ostream& operator<<(std::ostream& out, const DigestText& digest) {
  return out << digest.text();
}
// A digest compared with the text a test expects.
inline bool operator==(const DigestText& digest, std::string_view text) {
  return digest.text() == text;
}
}  // namespace quendal
