// Windows implementation of the platform layer: file access through the wide Win32 calls,
// SHA-256 through CNG (bcrypt).
#include "platform/windows_api.h"
// windows.h first: bcrypt.h and aclapi.h rely on its types.
#include <aclapi.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "platform/platform_windows.h"
#include "platform/whole_file.h"
#include "util/out_of_memory.h"

namespace quendal::platform {
namespace windows {

Result<std::wstring> utf8_to_wide(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return Failure{error_text(ERROR_INVALID_NAME)};
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return Failure{error_text(ERROR_FILENAME_EXCED_RANGE)};
  }
  const int size = static_cast<int>(text.size());
  const int wide_size =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (wide_size <= 0) return Failure{error_text(::GetLastError())};
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), wide_size);
  return wide;
}

Result<std::string> wide_to_utf8(std::wstring_view text) {
  if (text.empty()) return std::string();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return Failure{error_text(ERROR_FILENAME_EXCED_RANGE)};
  }
  const int size = static_cast<int>(text.size());
  const int narrow_size = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size,
                                                nullptr, 0, nullptr, nullptr);
  if (narrow_size <= 0) return Failure{error_text(::GetLastError())};
  std::string narrow(static_cast<std::size_t>(narrow_size), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, narrow.data(),
                        narrow_size, nullptr, nullptr);
  return narrow;
}

std::string argument_to_utf8(std::wstring_view argument) {
  std::string result;
  result.reserve(argument.size());
  for (std::size_t i = 0; i < argument.size(); ++i) {
    char32_t code = static_cast<char16_t>(argument[i]);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < argument.size()) {
      const char32_t low = static_cast<char16_t>(argument[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    // A surrogate left unpaired falls into the three-byte branch like any other code unit.
    if (code < 0x80) {
      result += static_cast<char>(code);
    } else if (code < 0x800) {
      result += static_cast<char>(0xC0 | (code >> 6));
      result += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      result += static_cast<char>(0xE0 | (code >> 12));
      result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      result += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      result += static_cast<char>(0xF0 | (code >> 18));
      result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      result += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return result;
}

bool is_not_found_error(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return true;
    default: return false;
  }
}

std::optional<unsigned long> metadata_failure_error(unsigned long error, std::wstring_view path) {
  // NTFS, like the other Windows file systems, keeps names of at most 255 UTF-16 code units.
  constexpr std::size_t k_max_component = 255;
  if (!is_not_found_error(error)) return error;
  std::size_t component = 0;
  for (wchar_t c : path) {
    component = (c == L'\\' || c == L'/') ? 0 : component + 1;
    if (component > k_max_component) return ERROR_INVALID_NAME;
  }
  return std::nullopt;
}

std::wstring extended_length_path(std::wstring_view full_path) {
  const auto separator = [&](std::size_t at) {
    return at < full_path.size() && full_path[at] == L'\\';
  };
  const bool drive = full_path.size() >= 3 && full_path[1] == L':' && separator(2) &&
                     ((full_path[0] >= L'A' && full_path[0] <= L'Z') ||
                      (full_path[0] >= L'a' && full_path[0] <= L'z'));
  if (drive) return L"\\\\?\\" + std::wstring(full_path);
  if (separator(0) && separator(1)) {
    // "\\?\" and "\\.\" are already past the parsing the prefix turns off.
    if (full_path.size() >= 4 && (full_path[2] == L'?' || full_path[2] == L'.') && separator(3)) {
      return std::wstring(full_path);
    }
    if (full_path.size() > 2) return L"\\\\?\\UNC\\" + std::wstring(full_path.substr(2));
  }
  return std::wstring(full_path);
}

std::string error_text(unsigned long error) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (length > 0 && buffer != nullptr) text.assign(buffer, length);
  if (buffer != nullptr) ::LocalFree(buffer);

  // The system's texts end in "\r\n" and a few hold line breaks inside; a cause is one line.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.pop_back();
  }
  std::wstring line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' || text[i] == L'\n') {
      if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
      line += L' ';
    } else {
      line += text[i];
    }
  }
  Result<std::string> narrow = wide_to_utf8(line);
  if (line.empty() || !narrow.ok()) return "System error " + std::to_string(error);
  return std::move(narrow).value();
}

}  // namespace windows

namespace {

using windows::error_text;
using windows::utf8_to_wide;

constexpr DWORD k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// ERROR_DIRECTORY_NOT_SUPPORTED, which mingw-w64's headers do not name.
constexpr DWORD k_error_directory_not_supported = 336;

// 100 ns ticks from 1601-01-01 to 1970-01-01, both UTC.
constexpr std::int64_t k_unix_epoch_ticks = 116444736000000000;
constexpr std::int64_t k_ticks_per_second = 10000000;

// The largest request handed to one ReadFile or WriteFile call, whose sizes are 32-bit.
constexpr std::size_t k_max_request = std::size_t{1} << 30;

Failure system_failure(DWORD error) { return Failure{error_text(error)}; }
Failure last_error_failure() { return system_failure(::GetLastError()); }

// The length from which a path in the ordinary form fails: CreateDirectoryW stops 12 characters
// short of MAX_PATH, every other call at MAX_PATH.
constexpr std::size_t k_long_path = MAX_PATH - 12;

// `path` as the text to hand to the system's file calls. A path that is long once made absolute
// goes in the extended-length form; GetFullPathNameW first resolves it as the system resolves
// an ordinary path (the current directory, "." and "..", "/" as "\"), which the prefix would
// otherwise turn off. Paths already in that form, the common case, are taken as they are.
Result<std::wstring> system_path(const std::string& path) {
  Result<std::wstring> wide = utf8_to_wide(path);
  if (!wide.ok() || wide->starts_with(L"\\\\?\\") || wide->starts_with(L"\\\\.\\")) return wide;
  std::wstring full(std::max<std::size_t>(wide->size() + 1, MAX_PATH), L'\0');
  for (;;) {
    // Returns the length without the terminating NUL, or the size needed including it.
    const DWORD length =
        ::GetFullPathNameW(wide->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return wide;  // the call itself fails on the path and says why
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.size() < k_long_path) return wide;
  return windows::extended_length_path(full);
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) ::CloseHandle(m_handle);
  }

  bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
  HANDLE get() const { return m_handle; }
  HANDLE release() {
    HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return handle;
  }
  void close_quietly() {
    if (valid()) ::CloseHandle(release());
  }
  // Closes the handle and reports the failure of CloseHandle, which for a written file can be
  // the first sign that the data did not reach the disk.
  Result<void> close() {
    HANDLE handle = release();
    if (!::CloseHandle(handle)) return last_error_failure();
    return {};
  }

 private:
  HANDLE m_handle;
};

// Opens an existing file or directory. Backup semantics is what lets a directory be opened at
// all; it grants nothing beyond the caller's rights unless a backup privilege is enabled.
Result<HANDLE> open_existing(const std::string& path, DWORD access, DWORD flags) {
  Result<std::wstring> wide = system_path(path);
  if (!wide.ok()) return wide.failure();
  HANDLE handle = ::CreateFileW(wide->c_str(), access, k_share_all, nullptr, OPEN_EXISTING,
                                flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error_failure();
  return handle;
}

FileMetadata metadata_of(const BY_HANDLE_FILE_INFORMATION& info) {
  FileMetadata metadata;
  metadata.length = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  metadata.last_write = static_cast<FileTime>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  metadata.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::directory
                                                                          : FileKind::regular;
  metadata.identity = {
      info.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return metadata;
}

// The metadata of an open handle, refusing anything but a regular file: a directory, and
// devices or pipes, which a path such as "CON" or "\\.\pipe\x" opens just as well.
Result<FileMetadata> regular_file_metadata(HANDLE handle) {
  ::SetLastError(NO_ERROR);
  const DWORD type = ::GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return last_error_failure();
  if (type != FILE_TYPE_DISK) return Failure{"Not a regular file"};
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return last_error_failure();
  const FileMetadata metadata = metadata_of(info);
  Result<void> regular = require_regular_file(metadata);
  if (!regular.ok()) return regular.failure();
  return metadata;
}

// True when the handle, opened with FILE_FLAG_OPEN_REPARSE_POINT, is a link to elsewhere (a
// symbolic link or a junction) rather than the file itself. Other reparse points (cloud
// placeholders, deduplicated files) are the file, and are opened the ordinary way.
Result<bool> is_name_surrogate(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return last_error_failure();
  }
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         IsReparseTagNameSurrogate(tag.ReparseTag);
}

// Whether the link open at `handle` belongs to this process's user, to SYSTEM or to the
// Administrators group (which owns what an elevated administrator creates).
Result<bool> owned_by_this_user_or_the_system(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                        nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return system_failure(error);
  const std::unique_ptr<void, decltype(&::LocalFree)> held(descriptor, &::LocalFree);
  for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (::CreateWellKnownSid(type, nullptr, sid, &size) && ::EqualSid(owner, sid)) return true;
  }
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return last_error_failure();
  const Handle token_handle(token);
  alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof user;
  if (!::GetTokenInformation(token, TokenUser, user, size, &size)) return last_error_failure();
  return ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) != FALSE;
}

// Opens `path` with `access` and `disposition` under FinalLink::owned_only: the name itself is
// opened first (FILE_FLAG_OPEN_REPARSE_POINT); a link there is followed, by opening the path
// again, only when its owner is trusted. Between the check and that open the link can be
// replaced: Windows offers no way to follow the very link that was checked.
Result<HANDLE> open_owned_links(const std::wstring& path, DWORD access, DWORD disposition,
                                DWORD flags) {
  Handle handle(::CreateFileW(path.c_str(), access, k_share_all, nullptr, disposition,
                              flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid()) return last_error_failure();
  Result<bool> link = is_name_surrogate(handle.get());
  if (!link.ok()) return link.failure();
  if (!*link) return handle.release();
  Result<bool> trusted = owned_by_this_user_or_the_system(handle.get());
  if (!trusted.ok()) return trusted.failure();
  if (!*trusted) return Failure{std::string(k_foreign_link_cause)};
  handle.close_quietly();
  HANDLE followed =
      ::CreateFileW(path.c_str(), access, k_share_all, nullptr, disposition, flags, nullptr);
  if (followed == INVALID_HANDLE_VALUE) return last_error_failure();
  return followed;
}

// Opens `path` for writing, creating it or truncating it. CREATE_ALWAYS would do both in one
// call, but it refuses an existing hidden or system file unless those attributes are asked for
// again. Opening whatever is there and truncating it afterwards has no such condition and no
// window between a test and a create; an existing file keeps its attributes, as a POSIX file
// keeps its mode under O_TRUNC.
Result<HANDLE> open_for_writing(const std::string& path, FinalLink final_link) {
  Result<std::wstring> wide = system_path(path);
  if (!wide.ok()) return wide.failure();
  Result<HANDLE> opened =
      final_link == FinalLink::owned_only
          ? open_owned_links(*wide, GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL)
          : Result<HANDLE>(::CreateFileW(wide->c_str(), GENERIC_WRITE, k_share_all, nullptr,
                                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!opened.ok()) return opened.failure();
  Handle handle(*opened);
  if (!handle.valid()) return last_error_failure();
  // A device such as NUL has no length to cut, and a file just created has none either.
  LARGE_INTEGER size{};
  if (::GetFileType(handle.get()) == FILE_TYPE_DISK && ::GetFileSizeEx(handle.get(), &size) &&
      size.QuadPart > 0 && !::SetEndOfFile(handle.get())) {
    return last_error_failure();
  }
  return handle.release();
}

Result<HANDLE> open_regular_for_reading(const std::string& path, FinalLink final_link,
                                        FileMetadata& metadata) {
  Result<HANDLE> opened = Failure{""};
  if (final_link == FinalLink::owned_only) {
    Result<std::wstring> wide = system_path(path);
    if (!wide.ok()) return wide.failure();
    opened = open_owned_links(*wide, GENERIC_READ, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS);
  } else {
    opened = open_existing(path, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  }
  if (!opened.ok()) return opened;
  Handle handle(*opened);
  Result<FileMetadata> regular = regular_file_metadata(handle.get());
  if (!regular.ok()) return regular.failure();
  metadata = *regular;
  return handle.release();
}

Result<std::size_t> read_some(HANDLE handle, void* buffer, std::size_t size) {
  DWORD got = 0;
  const auto request = static_cast<DWORD>(std::min(size, k_max_request));
  // Only regular files are read, opened for synchronous access: the end reads as 0 bytes.
  if (!::ReadFile(handle, buffer, request, &got, nullptr)) return last_error_failure();
  return static_cast<std::size_t>(got);
}

Result<void> write_all(HANDLE handle, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD written = 0;
    const auto request = static_cast<DWORD>(std::min(left, k_max_request));
    if (!::WriteFile(handle, data, request, &written, nullptr)) return last_error_failure();
    if (written == 0) return system_failure(ERROR_WRITE_FAULT);
    data += written;
    left -= written;
  }
  return {};
}

// A console shows text in its own code page, so UTF-8 goes to it as UTF-16; files and pipes get
// the bytes unchanged.
Result<void> write_console(HANDLE console, std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX))
    return system_failure(ERROR_NOT_ENOUGH_MEMORY);
  std::wstring text;
  if (!bytes.empty()) {
    const auto size = static_cast<int>(bytes.size());
    // No MB_ERR_INVALID_CHARS: a stray byte is shown as U+FFFD rather than losing the message.
    const int wide_size = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
    if (wide_size <= 0) return last_error_failure();
    text.resize(static_cast<std::size_t>(wide_size));
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), wide_size);
  }
  const wchar_t* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    // Older consoles fail single writes much above 64 KB; 16 K characters stay well below.
    const auto request = static_cast<DWORD>(std::min<std::size_t>(left, 16384));
    if (!::WriteConsoleW(console, data, request, &written, nullptr)) return last_error_failure();
    if (written == 0) return system_failure(ERROR_WRITE_FAULT);
    data += written;
    left -= written;
  }
  return {};
}

Result<void> write_standard(DWORD which, std::string_view bytes) {
  HANDLE handle = ::GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE) return last_error_failure();
  if (handle == nullptr) return system_failure(ERROR_INVALID_HANDLE);
  DWORD mode = 0;
  if (::GetConsoleMode(handle, &mode)) return write_console(handle, bytes);
  return write_all(handle, bytes);
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Length of the part of `path` that names its root, separator included: "C:\", "C:" (the
// current directory of drive C), "\", "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\".
std::size_t root_length(std::string_view path) {
  const auto component_end = [&](std::size_t from) {
    while (from < path.size() && !is_separator(path[from])) ++from;
    return from;
  };
  const auto past_separator = [&](std::size_t at) {
    return at < path.size() && is_separator(path[at]) ? at + 1 : at;
  };
  const auto is_drive = [&](std::size_t at) {
    return at + 1 < path.size() && path[at + 1] == ':' &&
           ((path[at] >= 'A' && path[at] <= 'Z') || (path[at] >= 'a' && path[at] <= 'z'));
  };

  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && is_separator(path[3])) {
      // A device or extended-length path: \\?\C:\, \\?\UNC\server\share\, \\?\Volume{...}\.
      const std::size_t start = 4;
      if (is_drive(start)) return past_separator(start + 2);
      const std::size_t first = component_end(start);
      const std::string_view name = path.substr(start, first - start);
      if (name.size() == 3 && (name[0] == 'U' || name[0] == 'u') &&
          (name[1] == 'N' || name[1] == 'n') && (name[2] == 'C' || name[2] == 'c')) {
        const std::size_t server = component_end(past_separator(first));
        return past_separator(component_end(past_separator(server)));
      }
      return past_separator(first);
    }
    // \\server\share\ .
    const std::size_t server = component_end(2);
    return past_separator(component_end(past_separator(server)));
  }
  if (is_drive(0)) return past_separator(2);
  if (!path.empty() && is_separator(path[0])) return 1;
  return 0;
}

}  // namespace

const char k_path_separator = '\\';

std::string join_path(std::string_view base, std::string_view component) {
  std::string result(base);
  append_path_component(result, component);
  return result;
}

void append_path_component(std::string& path, std::string_view component) {
  if (component == ".") return;
  if (!path.empty() && !is_separator(path.back())) path += '\\';
  path += component;
}

std::string parent_path(std::string_view path) {
  const std::size_t root = root_length(path);
  if (path.size() <= root) return std::string(path);
  std::size_t end = path.size();
  while (end > root && !is_separator(path[end - 1])) --end;  // drop the final component
  if (end == path.size()) return std::string(path);          // ends in a separator: a directory
  while (end > root && is_separator(path[end - 1])) --end;   // drop separators, keep the root
  return std::string(path.substr(0, end));
}

std::string final_component(std::string_view path) {
  std::size_t start = root_length(path);
  for (std::size_t i = path.size(); i > start; --i) {
    if (is_separator(path[i - 1])) {
      start = i;
      break;
    }
  }
  return std::string(path.substr(start));
}

std::optional<std::int64_t> to_modified_seconds(FileTime time) {
  // Compared before subtracting, so no tick count can overflow.
  if (time < k_unix_epoch_ticks) return std::nullopt;
  return (time - k_unix_epoch_ticks) / k_ticks_per_second;
}

Result<std::optional<FileMetadata>> file_metadata(const std::string& path) {
  // A handle follows links where GetFileAttributesExW would describe the link itself. Asking
  // for attributes alone passes every sharing check, so a file that another process holds
  // open without sharing still has metadata, as it does in Explorer.
  Result<std::wstring> wide = system_path(path);
  if (!wide.ok()) return wide.failure();
  Handle handle(::CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES, k_share_all, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) {
    const std::optional<unsigned long> error =
        windows::metadata_failure_error(::GetLastError(), *wide);
    if (!error) return std::optional<FileMetadata>();
    return system_failure(*error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle.get(), &info)) return last_error_failure();
  return std::optional<FileMetadata>(metadata_of(info));
}

Result<void> require_regular_file(const FileMetadata& metadata) {
  if (metadata.kind == FileKind::regular) return {};
  if (metadata.kind == FileKind::directory) return system_failure(k_error_directory_not_supported);
  return Failure{"Not a regular file"};
}

const std::string_view k_foreign_link_cause = "Not following a symbolic link owned by another user";

Result<FileContent> read_file(const std::string& path, FinalLink final_link) {
  FileMetadata metadata;
  Result<HANDLE> opened = open_regular_for_reading(path, final_link, metadata);
  if (!opened.ok()) return opened.failure();
  Handle handle(*opened);
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle.get(), &size)) return last_error_failure();
  // A file longer than the machine's memory is refused before anything is allocated: such an
  // allocation might be granted and then filled page by page until the system runs out.
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  // Asked only for a large file: the call reads system state that Wine does not guard against
  // two threads at once, and any file below 1 GiB is read as it is.
  if (size.QuadPart > (LONGLONG{1} << 30) && ::GlobalMemoryStatusEx(&memory) &&
      static_cast<std::uint64_t>(size.QuadPart) > memory.ullTotalPhys) {
    return Failure{std::string(k_out_of_memory), FailureKind::out_of_memory};
  }
  Result<FileBytes> content = read_whole_file(
      static_cast<std::uint64_t>(size.QuadPart),
      [&](char* buffer, std::size_t length) { return read_some(handle.get(), buffer, length); });
  if (!content.ok()) return std::move(content).failure();
  return FileContent{std::move(content).value(), metadata};
}

Result<void> write_file(const std::string& path, std::string_view bytes) {
  Result<HANDLE> opened = open_for_writing(path, FinalLink::follow);
  if (!opened.ok()) return opened.failure();
  Handle handle(*opened);
  Result<void> written = write_all(handle.get(), bytes);
  Result<void> closed = handle.close();
  if (!written.ok()) return written;
  return closed;
}

Result<OutputFile> OutputFile::create(const std::string& path, FinalLink final_link) {
  std::string own_path = path;  // before the open: an allocation failure then changes nothing
  Result<HANDLE> opened = open_for_writing(path, final_link);
  if (!opened.ok()) return opened.failure();
  return OutputFile(reinterpret_cast<std::intptr_t>(*opened), std::move(own_path));
}

Result<OutputFile> OutputFile::create_new(const std::string& path, FilePermissions) {
  std::string own_path = path;
  Result<std::wstring> wide = system_path(path);
  if (!wide.ok()) return wide.failure();
  // DeleteFileW removes a link itself, never its target.
  if (!::DeleteFileW(wide->c_str()) && !windows::is_not_found_error(::GetLastError())) {
    return last_error_failure();
  }
  Handle handle(::CreateFileW(wide->c_str(), GENERIC_WRITE, k_share_all, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid()) return last_error_failure();
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle.get(), &info)) return last_error_failure();
  if (::GetFileType(handle.get()) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Failure{"Not a regular file"};
  }
  return OutputFile(reinterpret_cast<std::intptr_t>(handle.release()), std::move(own_path));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)), m_path(std::move(other.m_path)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    (void)close();
    m_handle = std::exchange(other.m_handle, 0);
    m_path = std::move(other.m_path);
  }
  return *this;
}

OutputFile::~OutputFile() { (void)close(); }

Result<void> OutputFile::write(std::string_view bytes) {
  return write_all(reinterpret_cast<HANDLE>(m_handle), bytes);
}

Result<void> OutputFile::close() {
  if (m_handle == 0) return {};
  Handle handle(reinterpret_cast<HANDLE>(std::exchange(m_handle, 0)));
  return handle.close();
}

Result<void> remove_file(const std::string& path) {
  Result<std::wstring> wide = system_path(path);
  if (!wide.ok()) return wide.failure();
  if (!::DeleteFileW(wide->c_str())) return last_error_failure();
  return {};
}

Result<void> rename_file(const std::string& from, const std::string& to) {
  Result<std::wstring> wide_from = system_path(from);
  if (!wide_from.ok()) return wide_from.failure();
  Result<std::wstring> wide_to = system_path(to);
  if (!wide_to.ok()) return wide_to.failure();
  if (!::MoveFileExW(wide_from->c_str(), wide_to->c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return last_error_failure();
  }
  return {};
}

Result<void> create_directories(const std::string& path) {
  Result<std::wstring> wide = system_path(path);
  if (!wide.ok()) return wide.failure();
  const auto is_directory = [&] {
    const DWORD attributes = ::GetFileAttributesW(wide->c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  };
  // Creating first and looking only on failure keeps the common case to one call and makes a
  // directory that another process creates meanwhile no error. A root such as "C:\" fails to
  // be created but exists.
  if (::CreateDirectoryW(wide->c_str(), nullptr)) return {};
  DWORD error = ::GetLastError();
  if (is_directory()) return {};
  if (error == ERROR_PATH_NOT_FOUND) {
    const std::string parent = parent_path(path);
    if (!parent.empty() && parent != path) {
      Result<void> made = create_directories(parent);
      if (!made.ok()) return made;
      if (::CreateDirectoryW(wide->c_str(), nullptr)) return {};
      error = ::GetLastError();
      if (is_directory()) return {};
    }
  }
  return system_failure(error);
}

Result<std::string> canonical_directory(const std::string& path) {
  Result<HANDLE> opened = open_existing(path, FILE_READ_ATTRIBUTES, 0);
  if (!opened.ok()) return opened.failure();
  Handle handle(*opened);
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    // Returns the length without the terminating NUL, or the size needed including it.
    const DWORD length =
        ::GetFinalPathNameByHandleW(handle.get(), name.data(), static_cast<DWORD>(name.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return last_error_failure();
    if (length < name.size()) {
      name.resize(length);
      break;
    }
    name.resize(length);
  }
  return windows::wide_to_utf8(name);
}

Result<InputFile> InputFile::open(const std::string& path) {
  FileMetadata metadata;
  Result<HANDLE> opened = open_regular_for_reading(path, FinalLink::follow, metadata);
  if (!opened.ok()) return opened.failure();
  return InputFile(reinterpret_cast<std::intptr_t>(*opened), metadata);
}

InputFile::InputFile(InputFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)),
      m_metadata(other.m_metadata),
      m_position(other.m_position) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    close();
    m_handle = std::exchange(other.m_handle, -1);
    m_metadata = other.m_metadata;
    m_position = other.m_position;
  }
  return *this;
}

InputFile::~InputFile() { close(); }

void InputFile::close() {
  // -1 is INVALID_HANDLE_VALUE, the moved-from state.
  if (m_handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
  m_handle = -1;
}

Result<std::size_t> InputFile::read(std::byte* buffer, std::size_t size, ReadSource* source) {
  if (source != nullptr) *source = ReadSource::unknown;
  Result<std::size_t> n = read_some(reinterpret_cast<HANDLE>(m_handle), buffer, size);
  if (n.ok()) m_position += *n;
  return n;
}

void InputFile::hint_will_need(std::uint64_t, std::uint64_t) {}

HintScope::HintScope() = default;

HintScope::~HintScope() = default;

PrefetchResult prefetch_file(const std::string& path, std::uint64_t length) {
  FileMetadata metadata;
  Result<HANDLE> opened = open_regular_for_reading(path, FinalLink::follow, metadata);
  if (!opened.ok()) return PrefetchResult::failed;
  Handle handle(*opened);
  // Windows has no request that only starts reading a file into the cache, so the prefetch
  // reads it. A first piece that comes back at once was cached, and so, most likely, is the rest.
  constexpr std::size_t k_piece = 64 * 1024;
  constexpr auto k_cached_within = std::chrono::microseconds(50);
  thread_local const std::unique_ptr<std::byte[]> buffer(new std::byte[k_piece]);
  std::uint64_t done = 0;
  while (done < length) {
    const auto started = std::chrono::steady_clock::now();
    const std::size_t piece =
        length - done < k_piece ? static_cast<std::size_t>(length - done) : k_piece;
    Result<std::size_t> got = read_some(handle.get(), buffer.get(), piece);
    if (!got.ok()) return PrefetchResult::failed;
    if (*got == 0) break;
    if (done == 0 && std::chrono::steady_clock::now() - started < k_cached_within) {
      return PrefetchResult::cached;
    }
    done += *got;
  }
  return PrefetchResult::started;
}

namespace {

// NT_SUCCESS, which lives in the driver headers.
bool succeeded(NTSTATUS status) { return status >= 0; }

// Opening the provider loads and initialises the algorithm, so it is done once and the handle,
// which CNG allows to be shared between threads, serves every hash object of the process.
BCRYPT_ALG_HANDLE sha256_provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!succeeded(::BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                 BCRYPT_HASH_REUSABLE_FLAG))) {
      return BCRYPT_ALG_HANDLE{nullptr};
    }
    return opened;
  }();
  return provider;
}

// CNG fails these calls only for invalid handles or arguments; a digest computed past such a
// failure would be silently wrong, so the process stops instead.
void require_success(NTSTATUS status) {
  if (!succeeded(status)) std::abort();
}

}  // namespace

Sha256::Sha256() : m_state(nullptr) {
  const BCRYPT_ALG_HANDLE provider = sha256_provider();
  if (provider == nullptr) throw std::bad_alloc();
  // A reusable object starts over after every finish, so one job keeps one object for all the
  // files it hashes. CNG allocates the object's memory itself.
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!succeeded(
          ::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG))) {
    throw std::bad_alloc();
  }
  m_state = hash;
}

Sha256::~Sha256() { ::BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(m_state)); }

void Sha256::update(const std::byte* data, std::size_t size) {
  // CNG takes a non-const pointer but only reads through it.
  auto* bytes = reinterpret_cast<PUCHAR>(const_cast<std::byte*>(data));
  while (size > 0) {
    const auto chunk = static_cast<ULONG>(std::min(size, k_max_request));
    require_success(::BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(m_state), bytes, chunk, 0));
    bytes += chunk;
    size -= chunk;
  }
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  require_success(::BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(m_state), digest.data(),
                                     static_cast<ULONG>(digest.size()), 0));
  return digest;
}

void initialize_process() {
  // Everything the tool writes goes out through WriteFile, but anything that reaches the C
  // runtime's streams must not have its line feeds turned into "\r\n" either.
  // A stream without a handle is left alone: switching it would only raise an invalid-parameter
  // error in the runtime.
  const auto binary = [](std::FILE* stream, DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr)
      ::_setmode(::_fileno(stream), _O_BINARY);
  };
  binary(stdout, STD_OUTPUT_HANDLE);
  binary(stderr, STD_ERROR_HANDLE);
  // A drive without its disc or an unreachable network drive must come back as an error code,
  // not as a dialog box waiting for someone to click it.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

std::vector<std::string> command_line_arguments(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(windows::argument_to_utf8(argv[i]));
  return arguments;
}

Result<void> write_stdout(std::string_view bytes) {
  return write_standard(STD_OUTPUT_HANDLE, bytes);
}

Result<void> write_stderr(std::string_view bytes) {
  return write_standard(STD_ERROR_HANDLE, bytes);
}

bool stderr_is_terminal() {
  const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return false;
  DWORD mode = 0;
  return ::GetConsoleMode(handle, &mode) != 0;
}

std::optional<std::string> environment_variable(const char* name) {
  Result<std::wstring> wide_name = utf8_to_wide(name);
  if (!wide_name.ok()) return std::nullopt;
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    ::SetLastError(NO_ERROR);
    // Returns the length without the terminating NUL, or the size needed including it; 0 for
    // a variable that is not set, and for one set to the empty text.
    const DWORD length = ::GetEnvironmentVariableW(wide_name->c_str(), value.data(),
                                                   static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < value.size()) {
      value.resize(length);
      break;
    }
    value.resize(length);
  }
  return windows::argument_to_utf8(value);
}

namespace {

// How NonBlockingOutput writes: WriteFile in every case; a pipe that could be switched to
// PIPE_NOWAIT is switched back when the channel closes.
constexpr int k_write_plain = 0;
constexpr int k_pipe_nowait = 1;

// The C runtime's text for EBADF, the same as the POSIX one.
constexpr std::string_view k_bad_descriptor = "Bad file descriptor";

// Switches the pipe `handle` to PIPE_NOWAIT, where WriteFile takes what fits and returns. Other
// handles (files, consoles) take writes without waiting for a reader anyway. A pipe that refuses
// the switch is written as it is.
int without_waiting(HANDLE handle) {
  if (::GetFileType(handle) != FILE_TYPE_PIPE) return k_write_plain;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  return ::SetNamedPipeHandleState(handle, &mode, nullptr, nullptr) ? k_pipe_nowait : k_write_plain;
}

// "\\.\pipe\" in either separator, in any letter case.
bool is_named_pipe_path(std::string_view path) {
  if (path.size() < 9 || !is_separator(path[0]) || !is_separator(path[1]) || path[2] != '.' ||
      !is_separator(path[3]) || !is_separator(path[8])) {
    return false;
  }
  for (std::size_t i = 0; i < 4; ++i) {
    if ((path[4 + i] | 0x20) != "pipe"[i]) return false;
  }
  return true;
}

}  // namespace

Result<NonBlockingOutput> NonBlockingOutput::open_descriptor(std::int64_t descriptor) {
  if (descriptor < 0 || descriptor > INT_MAX) return Failure{std::string(k_bad_descriptor)};
  const std::intptr_t os_handle = ::_get_osfhandle(static_cast<int>(descriptor));
  // -2: a descriptor of a stream that has no handle (a GUI process's standard streams).
  if (os_handle == -1 || os_handle == -2) return Failure{std::string(k_bad_descriptor)};
  HANDLE own = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(os_handle),
                         ::GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return last_error_failure();
  }
  return NonBlockingOutput(reinterpret_cast<std::intptr_t>(own), without_waiting(own), -1);
}

Result<NonBlockingOutput> NonBlockingOutput::open_path(const std::string& path) {
  const bool absolute =
      (path.size() >= 3 && path[1] == ':' && is_separator(path[2]) &&
       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) ||
      (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]));
  if (!absolute) return Failure{"Not an absolute path"};
  const bool pipe = is_named_pipe_path(path);
  Result<std::wstring> wide = pipe ? utf8_to_wide(path) : system_path(path);
  if (!wide.ok()) return wide.failure();
  // A pipe's client end opens what exists; FILE_APPEND_DATA would ask a pipe for the right to
  // create an instance (the same bit), so it is used for files only, where every write then
  // goes to the end.
  HANDLE handle = pipe ? ::CreateFileW(wide->c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr)
                       : ::CreateFileW(wide->c_str(), FILE_APPEND_DATA | SYNCHRONIZE, k_share_all,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error_failure();
  return NonBlockingOutput(reinterpret_cast<std::intptr_t>(handle), without_waiting(handle), -1);
}

NonBlockingOutput::NonBlockingOutput(NonBlockingOutput&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)),
      m_kind(other.m_kind),
      m_restore_flags(other.m_restore_flags) {}

NonBlockingOutput& NonBlockingOutput::operator=(NonBlockingOutput&& other) noexcept {
  if (this != &other) {
    close();
    m_handle = std::exchange(other.m_handle, 0);
    m_kind = other.m_kind;
    m_restore_flags = other.m_restore_flags;
  }
  return *this;
}

NonBlockingOutput::~NonBlockingOutput() { close(); }

void NonBlockingOutput::close() {
  if (m_handle == 0) return;
  const auto handle = reinterpret_cast<HANDLE>(std::exchange(m_handle, 0));
  if (m_kind == k_pipe_nowait) {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    ::SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
  }
  ::CloseHandle(handle);
}

Result<std::size_t> NonBlockingOutput::write_some(std::string_view bytes) {
  DWORD written = 0;
  const auto request = static_cast<DWORD>(std::min(bytes.size(), k_max_request));
  if (!::WriteFile(reinterpret_cast<HANDLE>(m_handle), bytes.data(), request, &written, nullptr)) {
    return last_error_failure();
  }
  return static_cast<std::size_t>(written);
}

void NonBlockingOutput::wait_writable(int milliseconds) {
  // A pipe in PIPE_NOWAIT mode has nothing to wait on; a short sleep gives the reader time.
  ::Sleep(static_cast<DWORD>(std::clamp(milliseconds, 0, 10)));
}

SystemTime system_time_now() {
  FILETIME now;
  ::GetSystemTimePreciseAsFileTime(&now);
  const auto ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  const std::int64_t since_epoch = ticks - k_unix_epoch_ticks;
  std::int64_t seconds = since_epoch / k_ticks_per_second;
  std::int64_t remainder = since_epoch % k_ticks_per_second;
  if (remainder < 0) {  // round down before 1970 too
    --seconds;
    remainder += k_ticks_per_second;
  }
  return SystemTime{seconds, static_cast<std::uint32_t>(remainder * 100)};
}

void prefer_huge_pages(void*, std::size_t) {}

unsigned logical_processor_count() {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process_mask, &system_mask)) {
    const int available = std::popcount(static_cast<std::uint64_t>(process_mask));
    if (available > 0) return static_cast<unsigned>(available);
  }
  // Both masks are zero when the process's threads span several processor groups; then every
  // active processor of the system is available to it.
  const DWORD active = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (active > 0) return static_cast<unsigned>(active);
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

}  // namespace quendal::platform
