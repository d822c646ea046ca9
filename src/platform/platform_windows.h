// Windows-only pieces of the platform layer that the process entry point and the tests share
// with platform_windows.cpp: text conversion between UTF-8 and the system's UTF-16, the
// classification of "not found" errors and the system's error text. Everything here is pure
// computation or a single system call, and safe to call from several threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "util/result.h"

namespace quendal::platform::windows {

// `text` as UTF-16 for the system's wide calls. The conversion is always explicit: the narrow
// calls (and std::filesystem::path built from a std::string) would read the bytes in the ANSI
// code page instead. Fails with the system's text for ERROR_NO_UNICODE_TRANSLATION when `text`
// is not valid UTF-8, and for ERROR_INVALID_NAME when it holds a NUL, which the system would
// otherwise take for the end of the path.
Result<std::wstring> utf8_to_wide(std::string_view text);

// `text` as UTF-8. Fails with the system's text for ERROR_NO_UNICODE_TRANSLATION when `text`
// holds an unpaired surrogate, which has no UTF-8 form.
Result<std::string> wide_to_utf8(std::wstring_view text);

// A command-line argument as UTF-8. Never fails: an unpaired surrogate becomes the three bytes
// that UTF-8's pattern would give its code unit (ED A0 80 to ED BF BF), which no UTF-8
// validator accepts, so the argument is refused by the command line instead of being altered.
std::string argument_to_utf8(std::wstring_view argument);

// True exactly for the system errors that mean the path does not exist: ERROR_FILE_NOT_FOUND
// (2), ERROR_PATH_NOT_FOUND (3), ERROR_INVALID_DRIVE (15), ERROR_BAD_NETPATH (53) and
// ERROR_BAD_NET_NAME (67).
bool is_not_found_error(unsigned long error);

// How a metadata query of `path` that failed with the system error `error` ends: nullopt when
// the path does not exist (is_not_found_error), otherwise the error to report. A path with a
// component (the text between two "\" or "/") longer than 255 UTF-16 code units names nothing
// NTFS can hold, and NTFS refuses it with ERROR_INVALID_NAME (123). Where the system reports
// such a path as not found instead (other file systems, Wine), ERROR_INVALID_NAME is returned
// all the same, so the verdict does not depend on the volume; other errors are kept.
std::optional<unsigned long> metadata_failure_error(unsigned long error, std::wstring_view path);

// `full_path`, an absolute path as GetFullPathNameW gives it, in the extended-length form that
// the system takes up to 32767 characters: "C:\x" becomes "\\?\C:\x" and "\\server\share\x"
// becomes "\\?\UNC\server\share\x". A path already in `\\?\` or `\\.\` form, and anything
// else that is neither a drive nor a UNC path, is returned unchanged.
std::wstring extended_length_path(std::wstring_view full_path);

// The system's description of `error` as one line of UTF-8: the trailing line break removed
// and any inner one turned into a space. "System error <n>" when the system has no text for it.
std::string error_text(unsigned long error);

}  // namespace quendal::platform::windows
