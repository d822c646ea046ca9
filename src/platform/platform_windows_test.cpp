#include "platform/platform_windows.h"

#include <gtest/gtest.h>

#include "platform/windows_api.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/text.h"

namespace quendal::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t k_epoch = 116444736000000000;  // 1970-01-01T00:00:00Z in 1601 ticks

// "données-日本", as UTF-8 bytes and as UTF-16.
constexpr char k_name_utf8[] =
    "donn\xC3\xA9"
    "es-\xE6\x97\xA5\xE6\x9C\xAC";
constexpr wchar_t k_name_wide[] = L"donn\u00e9es-\u65e5\u672c";

std::string utf8(const fs::path& path) {
  Result<std::string> text = windows::wide_to_utf8(path.native());
  EXPECT_TRUE(text.ok());
  return text.ok() ? *text : std::string();
}

bool has_line_break(const std::string& text) {
  return text.find('\r') != std::string::npos || text.find('\n') != std::string::npos;
}

// A fresh directory under the user's temporary folder, removed with its content at the end.
class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    m_path = fs::path(std::wstring(base, length)) /
             (L"quendal-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
              std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(counter++));
    fs::create_directories(m_path);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }

  const fs::path& path() const { return m_path; }
  fs::path operator/(const std::wstring& name) const { return m_path / name; }
  std::string utf8_path(const std::wstring& name) const { return utf8(m_path / name); }

 private:
  fs::path m_path;
};

bool under_wine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

void put(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good());
}

std::string get(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A handle that another party holds on a file without sharing it in any way.
class Holder {
 public:
  explicit Holder(const fs::path& path)
      : m_handle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() {
    if (held()) ::CloseHandle(m_handle);
  }
  bool held() const { return m_handle != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_handle;
};

void set_last_write(const fs::path& path, std::int64_t ticks) {
  HANDLE handle = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const auto value = static_cast<std::uint64_t>(ticks);
  FILETIME time{static_cast<DWORD>(value & 0xFFFFFFFF), static_cast<DWORD>(value >> 32)};
  EXPECT_TRUE(::SetFileTime(handle, nullptr, nullptr, &time));
  ::CloseHandle(handle);
}

std::string hex(const Sha256Digest& digest) {
  static const char k_digits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text += k_digits[byte >> 4];
    text += k_digits[byte & 15];
  }
  return text;
}

std::string sha256_of_file(const std::string& path, std::size_t buffer_size) {
  Result<InputFile> file = InputFile::open(path);
  EXPECT_TRUE(file.ok()) << (file.ok() ? "" : file.error());
  if (!file.ok()) return {};
  std::vector<std::byte> buffer(buffer_size);
  Sha256 sha;
  for (;;) {
    Result<std::size_t> got = file->read(buffer.data(), buffer.size());
    EXPECT_TRUE(got.ok());
    if (!got.ok() || *got == 0) break;
    sha.update(buffer.data(), *got);
  }
  return hex(sha.finish());
}

TEST(JoinPath, PutsOneBackslashBetweenComponentsAndSkipsADot) {
  struct Case {
    const char* base;
    const char* component;
    const char* joined;
  };
  const Case cases[] = {
      {"C:\\client", "data", "C:\\client\\data"},
      {"C:\\client\\", "data", "C:\\client\\data"},
      {"C:/client/", "data", "C:/client/data"},
      {"\\\\?\\C:\\client", "Sky.PAK", "\\\\?\\C:\\client\\Sky.PAK"},
      {"", "data", "data"},
      // Nothing under a \\?\ root resolves ".", so it is not passed on; every other name is.
      {"\\\\?\\C:\\client", ".", "\\\\?\\C:\\client"},
      {"\\\\?\\C:\\", ".", "\\\\?\\C:\\"},
      {"C:\\client", "..", "C:\\client\\.."},
      {"C:\\client", ".x", "C:\\client\\.x"},
      {"C:\\client", ". ", "C:\\client\\. "},
      {"C:\\client", "...", "C:\\client\\..."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(join_path(c.base, c.component), c.joined) << c.base << " + " << c.component;
  }
  EXPECT_EQ(k_path_separator, '\\');
}

TEST(ParentPath, TreatsBothSlashesAsSeparatorsAndKeepsRoots) {
  struct Case {
    const char* path;
    const char* parent;
  };
  const Case cases[] = {
      {"dir\\c.json", "dir"},
      {"dir/c.json", "dir"},
      {"a\\b/c.json", "a\\b"},
      {"a\\\\c.json", "a"},
      {"c.json", ""},
      {"", ""},
      {"\\c.json", "\\"},
      {"C:\\c.json", "C:\\"},
      {"C:/c.json", "C:/"},
      {"C:\\", "C:\\"},
      {"C:c.json", "C:"},
      {"C:", "C:"},
      {"\\\\?\\C:\\client\\c.json", "\\\\?\\C:\\client"},
      {"\\\\?\\C:\\c.json", "\\\\?\\C:\\"},
      {"\\\\?\\C:\\", "\\\\?\\C:\\"},
      {"\\\\server\\share\\c.json", "\\\\server\\share\\"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"\\\\?\\UNC\\server\\share\\dir\\c.json", "\\\\?\\UNC\\server\\share\\dir"},
      {"\\\\?\\UNC\\server\\share", "\\\\?\\UNC\\server\\share"},
  };
  for (const Case& c : cases) EXPECT_EQ(parent_path(c.path), c.parent) << c.path;
}

TEST(FinalComponent, TakesTheTextAfterTheLastSeparatorOrRoot) {
  struct Case {
    const char* path;
    const char* component;
  };
  const Case cases[] = {
      {"dir\\c.json", "c.json"},
      {"dir/c.json", "c.json"},
      {"a/b\\c.json", "c.json"},
      {"c.json", "c.json"},
      {"dir\\", ""},
      {"C:\\", ""},
      {"C:c.json", "c.json"},
      {"\\\\server\\share", ""},
      {"\\\\?\\C:\\x\\y.json", "y.json"},
  };
  for (const Case& c : cases) EXPECT_EQ(final_component(c.path), c.component) << c.path;
}

TEST(ToModifiedSeconds, CountsWholeSecondsFromTheUnixEpochRoundingDown) {
  EXPECT_EQ(to_modified_seconds(k_epoch), 0);
  EXPECT_EQ(to_modified_seconds(k_epoch + 9999999), 0);
  EXPECT_EQ(to_modified_seconds(k_epoch + 10000000), 1);
  // 2001-09-09T01:46:40Z, 10^9 seconds after the epoch.
  EXPECT_EQ(to_modified_seconds(126444736000000000), 1000000000);
  EXPECT_EQ(to_modified_seconds(126444736009999999), 1000000000);
}

TEST(ToModifiedSeconds, IsAbsentBeforeTheUnixEpoch) {
  EXPECT_EQ(to_modified_seconds(k_epoch - 1), std::nullopt);
  EXPECT_EQ(to_modified_seconds(k_epoch - 5000000), std::nullopt);  // 1969-12-31T23:59:59.5Z
  EXPECT_EQ(to_modified_seconds(k_epoch - 10000000), std::nullopt);
  EXPECT_EQ(to_modified_seconds(0), std::nullopt);
  EXPECT_EQ(to_modified_seconds(INT64_MIN), std::nullopt);
}

TEST(FileMetadata, ReportsLengthAndLastWriteTicksOfAFile) {
  TempDir dir;
  put(dir / L"f.bin", "abc");
  set_last_write(dir / L"f.bin", 126444736005000000);  // 2001-09-09T01:46:40.5Z
  Result<std::optional<FileMetadata>> metadata = file_metadata(dir.utf8_path(L"f.bin"));
  ASSERT_TRUE(metadata.ok()) << metadata.error();
  ASSERT_TRUE(metadata->has_value());
  EXPECT_EQ((*metadata)->length, 3u);
  EXPECT_EQ((*metadata)->last_write, 126444736005000000);
  EXPECT_EQ(to_modified_seconds((*metadata)->last_write), 1000000000);

  set_last_write(dir / L"f.bin", k_epoch - 5000000);  // 1969-12-31T23:59:59.5Z
  metadata = file_metadata(dir.utf8_path(L"f.bin"));
  ASSERT_TRUE(metadata.ok() && metadata->has_value());
  EXPECT_EQ((*metadata)->last_write, k_epoch - 5000000);
  EXPECT_EQ(to_modified_seconds((*metadata)->last_write), std::nullopt);
}

TEST(FileMetadata, FindsNonAsciiNamesThroughUtf8) {
  TempDir dir;
  put(dir / (std::wstring(k_name_wide) + L".pak"), "12345");
  Result<std::optional<FileMetadata>> metadata =
      file_metadata(utf8(dir.path()) + "\\" + k_name_utf8 + ".pak");
  ASSERT_TRUE(metadata.ok()) << metadata.error();
  ASSERT_TRUE(metadata->has_value());
  EXPECT_EQ((*metadata)->length, 5u);
}

TEST(FileMetadata, TreatsExactlyTheNotFoundErrorsAsMissing) {
  TempDir dir;
  put(dir / L"file.txt", "x");
  wchar_t unused_drive = 0;
  const DWORD drives = ::GetLogicalDrives();
  for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
    if ((drives & (1u << (letter - L'A'))) == 0) unused_drive = letter;
  }
  std::vector<std::string> missing = {
      dir.utf8_path(L"absent.txt"),         // ERROR_FILE_NOT_FOUND
      dir.utf8_path(L"absent-dir\\x.txt"),  // ERROR_PATH_NOT_FOUND
      dir.utf8_path(L"file.txt\\x.txt"),    // a file where a directory should be
      "\\\\?\\" + dir.utf8_path(L"absent-dir\\x.txt"),
  };
  if (unused_drive != 0)
    missing.push_back(std::string(1, static_cast<char>(unused_drive)) + ":\\x");
  for (const std::string& path : missing) {
    Result<std::optional<FileMetadata>> metadata = file_metadata(path);
    ASSERT_TRUE(metadata.ok()) << path << ": " << metadata.error();
    EXPECT_FALSE(metadata->has_value()) << path;
  }

  // Some of these cannot be produced on every machine (Wine has no network drives).
  for (unsigned long error : {2ul, 3ul, 15ul, 53ul, 67ul}) {
    EXPECT_TRUE(windows::is_not_found_error(error)) << error;
  }
  // Neighbours that mean something else: access denied, sharing violation, a bad name, a path
  // too long, a missing network provider, a device not ready.
  for (unsigned long error : {0ul, 1ul, 4ul, 5ul, 21ul, 32ul, 123ul, 161ul, 206ul, 1203ul}) {
    EXPECT_FALSE(windows::is_not_found_error(error)) << error;
  }
}

TEST(FileMetadata, NeverCallsAPathWithAComponentOverTheNtfsLimitMissing) {
  const std::wstring root = L"\\\\?\\C:\\client\\";
  const std::wstring longest(255, L'a');
  const std::wstring too_long(256, L'a');
  std::wstring pairs;  // 128 characters outside the BMP: 256 code units
  for (int i = 0; i < 128; ++i) pairs += L"\xD83D\xDE00";
  struct Case {
    unsigned long error;
    std::wstring path;
    std::optional<unsigned long> reported;  // nullopt: missing
  };
  const Case cases[] = {
      {2, root + L"x.bin", std::nullopt},
      {3, root + L"absent\\x.bin", std::nullopt},
      {2, root + longest, std::nullopt},
      {3, root + std::wstring(255, L'\u00e9') + L"\\x.bin", std::nullopt},
      {2, root + too_long, 123},
      {3, root + too_long + L"\\x.bin", 123},
      {3, L"C:/client/" + too_long + L"/x.bin", 123},
      {2, root + pairs, 123},
      {5, root + L"x.bin", 5},
      {5, root + too_long, 5},
      {206, root + too_long, 206},
      {123, root + L"bad<name", 123},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(windows::metadata_failure_error(c.error, c.path), c.reported)
        << c.error << " for a path of " << c.path.size();
  }

  // Wine and some file systems call such a name not found; NTFS refuses it.
  TempDir dir;
  Result<std::optional<FileMetadata>> metadata =
      file_metadata(dir.utf8_path(std::wstring(300, L'n')));
  ASSERT_FALSE(metadata.ok());
  EXPECT_EQ(metadata.error(), windows::error_text(123));
}

TEST(FileMetadata, FailsWithOneLineOfSystemTextForOtherErrors) {
  TempDir dir;
  Result<std::optional<FileMetadata>> metadata = file_metadata(dir.utf8_path(L"bad<name"));
  ASSERT_FALSE(metadata.ok());
  EXPECT_FALSE(metadata.error().empty());
  EXPECT_FALSE(has_line_break(metadata.error())) << metadata.error();
}

TEST(FileMetadata, DescribesAFileHeldWithoutSharing) {
  TempDir dir;
  put(dir / L"held.bin", "abcd");
  Holder holder(dir / L"held.bin");
  ASSERT_TRUE(holder.held());
  Result<std::optional<FileMetadata>> metadata = file_metadata(dir.utf8_path(L"held.bin"));
  ASSERT_TRUE(metadata.ok()) << metadata.error();
  ASSERT_TRUE(metadata->has_value());
  EXPECT_EQ((*metadata)->length, 4u);
}

TEST(CanonicalDirectory, GivesTheExtendedLengthFinalPath) {
  TempDir dir;
  fs::create_directories(dir / k_name_wide / L"sub");
  const std::string typed = utf8(dir.path()) + "/" + k_name_utf8 + "\\sub\\..";
  Result<std::string> canonical = canonical_directory(typed);
  ASSERT_TRUE(canonical.ok()) << canonical.error();
  EXPECT_EQ(canonical->rfind("\\\\?\\", 0), 0u) << *canonical;
  const std::string name = std::string("\\") + k_name_utf8;
  ASSERT_GE(canonical->size(), name.size());
  EXPECT_EQ(canonical->substr(canonical->size() - name.size()), name);

  Result<std::string> again = canonical_directory(*canonical);
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(*again, *canonical);
}

TEST(ExtendedLengthPath, PrefixesDrivePathsAndUncPathsOnly) {
  struct Case {
    const wchar_t* full;
    const wchar_t* extended;
  };
  const Case cases[] = {
      {L"C:\\client\\data", L"\\\\?\\C:\\client\\data"},
      {L"z:\\", L"\\\\?\\z:\\"},
      {L"\\\\server\\share\\client", L"\\\\?\\UNC\\server\\share\\client"},
      {L"\\\\?\\C:\\client", L"\\\\?\\C:\\client"},
      {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
      {L"\\\\.\\CON", L"\\\\.\\CON"},
      {L"client", L"client"},
      {L"", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(windows::extended_length_path(c.full), c.extended);
  }
}

// Paths in the ordinary form that are longer than MAX_PATH work without the process's
// long-path setting.
TEST(LongPath, ResolvesOpensWritesAndRenamesThroughTheExtendedLengthForm) {
  TempDir dir;
  std::wstring typed = dir.path().native();
  const std::wstring name(100, L'd');
  for (int i = 0; i < 3; ++i) {
    typed += L"\\" + name;
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + typed).c_str(), nullptr)) << ::GetLastError();
  }
  ASSERT_GT(typed.size(), std::size_t{MAX_PATH});
  const std::string client = utf8(typed);

  // Wine's GetFinalPathNameByHandleW stops at MAX_PATH characters ("More data available").
  if (!under_wine()) {
    Result<std::string> canonical = canonical_directory(client);
    ASSERT_TRUE(canonical.ok()) << canonical.error();
    EXPECT_EQ(canonical->rfind("\\\\?\\", 0), 0u) << *canonical;
    const std::string last = std::string(1, '\\').append(utf8(name));
    EXPECT_TRUE(canonical->ends_with(last)) << *canonical;
    Result<std::string> dotted = canonical_directory(client + "/.\\absent\\..");
    ASSERT_TRUE(dotted.ok()) << dotted.error();
    EXPECT_EQ(*dotted, *canonical);
  }

  ASSERT_TRUE(create_directories(client + "\\a\\b").ok());
  const std::string file = client + "\\a\\b\\c.json";
  ASSERT_TRUE(write_file(file, "abc").ok());
  Result<std::optional<FileMetadata>> metadata = file_metadata(file);
  ASSERT_TRUE(metadata.ok() && metadata->has_value());
  EXPECT_EQ((*metadata)->length, 3u);
  Result<FileContent> content = read_file(file);
  ASSERT_TRUE(content.ok()) << content.error();
  EXPECT_EQ(content->text(), "abc");
  ASSERT_TRUE(rename_file(file, client + "\\a\\b\\d.json").ok());
  EXPECT_EQ(sha256_of_file(client + "\\a\\b\\d.json", 65536),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_TRUE(remove_file(client + "\\a\\b\\d.json").ok());
  metadata = file_metadata(client + "\\a\\b\\d.json");
  ASSERT_TRUE(metadata.ok());
  EXPECT_FALSE(metadata->has_value());
}

TEST(CanonicalDirectory, FailsForAMissingDirectory) {
  TempDir dir;
  Result<std::string> canonical = canonical_directory(dir.utf8_path(L"absent"));
  ASSERT_FALSE(canonical.ok());
  EXPECT_FALSE(canonical.error().empty());
  EXPECT_FALSE(has_line_break(canonical.error()));
}

TEST(Sha256, MatchesKnownDigestsAndStartsOverAfterFinish) {
  Sha256 sha;
  EXPECT_EQ(hex(sha.finish()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  sha.update(reinterpret_cast<const std::byte*>(abc.data()), 1);
  sha.update(reinterpret_cast<const std::byte*>(abc.data()) + 1, 2);
  EXPECT_EQ(hex(sha.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  sha.update(reinterpret_cast<const std::byte*>(abc.data()), abc.size());
  EXPECT_EQ(hex(sha.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(InputFile, ReadsAFileToItsEndInPieces) {
  TempDir dir;
  put(dir / L"million.bin", std::string(1000000, 'a'));
  const std::string million_a = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(sha256_of_file(dir.utf8_path(L"million.bin"), 65536), million_a);
  EXPECT_EQ(sha256_of_file(dir.utf8_path(L"million.bin"), 8388608), million_a);
  put(dir / L"empty.bin", "");
  EXPECT_EQ(sha256_of_file(dir.utf8_path(L"empty.bin"), 8388608),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(InputFile, LeavesTheFileOpenToOthersForWritingRenamingAndDeleting) {
  TempDir dir;
  put(dir / L"shared.bin", "abc");
  Result<InputFile> file = InputFile::open(dir.utf8_path(L"shared.bin"));
  ASSERT_TRUE(file.ok()) << file.error();

  HANDLE writer = ::CreateFileW((dir / L"shared.bin").c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE) << ::GetLastError();
  if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
  EXPECT_TRUE(::MoveFileExW((dir / L"shared.bin").c_str(), (dir / L"moved.bin").c_str(), 0))
      << ::GetLastError();
  EXPECT_TRUE(::DeleteFileW((dir / L"moved.bin").c_str())) << ::GetLastError();
}

TEST(InputFile, FailsToOpenAFileHeldWithoutSharing) {
  TempDir dir;
  put(dir / L"held.bin", "abc");
  Holder holder(dir / L"held.bin");
  ASSERT_TRUE(holder.held());
  Result<InputFile> file = InputFile::open(dir.utf8_path(L"held.bin"));
  ASSERT_FALSE(file.ok());
  EXPECT_FALSE(file.error().empty());
  EXPECT_FALSE(has_line_break(file.error()));
}

TEST(InputFile, RefusesDirectoriesDevicesAndMissingFiles) {
  TempDir dir;
  fs::create_directories(dir / L"sub");
  for (const std::string& path : {dir.utf8_path(L"sub"), std::string("NUL"),
                                  std::string("\\\\.\\NUL"), dir.utf8_path(L"absent")}) {
    Result<InputFile> file = InputFile::open(path);
    ASSERT_FALSE(file.ok()) << path;
    EXPECT_FALSE(file.error().empty()) << path;
    EXPECT_FALSE(has_line_break(file.error())) << path;
  }
  Result<InputFile> device = InputFile::open("NUL");
  ASSERT_FALSE(device.ok());
  EXPECT_EQ(device.error(), "Not a regular file");
}

TEST(ReadFile, ReturnsTheWholeContentAndRefusesADirectory) {
  TempDir dir;
  const std::string content = std::string("line one\r\nline two\n") + '\0' + "\xFF";
  put(dir / L"m.json", content);
  for (FinalLink final_link : {FinalLink::follow, FinalLink::owned_only}) {
    Result<FileContent> read = read_file(dir.utf8_path(L"m.json"), final_link);
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(read->text(), content);
    EXPECT_EQ(read->metadata.length, content.size());
  }

  fs::create_directories(dir / L"sub");
  Result<FileContent> directory = read_file(dir.utf8_path(L"sub"));
  ASSERT_FALSE(directory.ok());
  EXPECT_FALSE(directory.error().empty());
  EXPECT_FALSE(has_line_break(directory.error()));
  EXPECT_FALSE(read_file(dir.utf8_path(L"absent.json")).ok());
}

TEST(WriteFile, CreatesAndTruncatesWithTheExactBytes) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.utf8_path(L"out.json"), "a much longer first version\n").ok());
  ASSERT_TRUE(write_file(dir.utf8_path(L"out.json"), "{\n}").ok());
  EXPECT_EQ(get(dir / L"out.json"), "{\n}");
  ASSERT_TRUE(write_file(dir.utf8_path(L"empty.json"), "").ok());
  EXPECT_TRUE(fs::exists(dir / L"empty.json"));
  EXPECT_EQ(fs::file_size(dir / L"empty.json"), 0u);
  // A device is opened and written, with no length to cut.
  Result<void> device = write_file("NUL", "{\n}");
  EXPECT_TRUE(device.ok()) << device.error();
}

TEST(WriteFile, TruncatesAHiddenOrSystemFileAndKeepsItsAttributes) {
  TempDir dir;
  for (DWORD attributes : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM},
                           DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    const fs::path file = dir / (L"out-" + std::to_wstring(attributes) + L".json");
    put(file, "a much longer first version\n");
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), attributes));
    Result<void> written = write_file(utf8(file), "{\n}");
    ASSERT_TRUE(written.ok()) << attributes << ": " << written.error();
    EXPECT_EQ(get(file), "{\n}") << attributes;
    const DWORD kept = ::GetFileAttributesW(file.c_str());
    EXPECT_TRUE(kept != INVALID_FILE_ATTRIBUTES && (kept & attributes) == attributes) << kept;
  }
}

TEST(OutputFileCreateNew, ReplacesWhatStandsAtTheNameWithANewPlainFile) {
  TempDir dir;
  const std::string name = dir.utf8_path(L"cache.json.tmp-1");
  for (const char* before : {"nothing", "an older copy"}) {
    if (std::string_view(before) != "nothing") put(dir / L"cache.json.tmp-1", before);
    Result<OutputFile> file = OutputFile::create_new(name);
    ASSERT_TRUE(file.ok()) << before << ": " << file.error();
    ASSERT_TRUE(file->write("{\n}").ok());
    ASSERT_TRUE(file->close().ok());
    EXPECT_EQ(get(dir / L"cache.json.tmp-1"), "{\n}");
    const DWORD attributes = ::GetFileAttributesW((dir / L"cache.json.tmp-1").c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY), 0u);
  }
  // A directory at the name is not removed, and the new file cannot be made.
  fs::create_directories(dir / L"cache.json.tmp-2");
  Result<OutputFile> blocked = OutputFile::create_new(dir.utf8_path(L"cache.json.tmp-2"));
  ASSERT_FALSE(blocked.ok());
  EXPECT_FALSE(has_line_break(blocked.error()));
  EXPECT_TRUE(fs::is_directory(dir / L"cache.json.tmp-2"));
}

TEST(OutputFileCreate, WritesThroughTheOwnedLinksRule) {
  TempDir dir;
  put(dir / L"out.json", "a much longer first version\n");
  Result<OutputFile> file = OutputFile::create(dir.utf8_path(L"out.json"), FinalLink::owned_only);
  ASSERT_TRUE(file.ok()) << file.error();
  ASSERT_TRUE(file->write("{}").ok());
  ASSERT_TRUE(file->close().ok());
  EXPECT_EQ(get(dir / L"out.json"), "{}");
}

TEST(WriteFile, FailsInAMissingDirectory) {
  TempDir dir;
  Result<void> written = write_file(dir.utf8_path(L"absent\\out.json"), "x");
  ASSERT_FALSE(written.ok());
  EXPECT_FALSE(has_line_break(written.error()));
  EXPECT_FALSE(fs::exists(dir / L"absent"));
}

TEST(RenameFile, ReplacesAnExistingFile) {
  TempDir dir;
  put(dir / L"cache.json", "old cache");
  put(dir / L"cache.json.tmp-1", "new cache");
  ASSERT_TRUE(rename_file(dir.utf8_path(L"cache.json.tmp-1"), dir.utf8_path(L"cache.json")).ok());
  EXPECT_EQ(get(dir / L"cache.json"), "new cache");
  EXPECT_FALSE(fs::exists(dir / L"cache.json.tmp-1"));
  EXPECT_FALSE(rename_file(dir.utf8_path(L"cache.json.tmp-1"), dir.utf8_path(L"cache.json")).ok());
}

TEST(RemoveFile, DeletesAFileAndFailsWhenItIsMissing) {
  TempDir dir;
  put(dir / L"gone.json", "x");
  ASSERT_TRUE(remove_file(dir.utf8_path(L"gone.json")).ok());
  EXPECT_FALSE(fs::exists(dir / L"gone.json"));
  Result<void> again = remove_file(dir.utf8_path(L"gone.json"));
  ASSERT_FALSE(again.ok());
  EXPECT_FALSE(has_line_break(again.error()));
}

TEST(CreateDirectories, CreatesTheWholeChainAndRefusesAFileInTheWay) {
  TempDir dir;
  ASSERT_TRUE(create_directories(dir.utf8_path(L"a\\b/c\\d")).ok());
  EXPECT_TRUE(fs::is_directory(dir / L"a\\b\\c\\d"));
  EXPECT_TRUE(create_directories(dir.utf8_path(L"a\\b/c\\d")).ok());
  EXPECT_TRUE(create_directories(dir.utf8_path(L"a")).ok());
  Result<std::string> canonical = canonical_directory(utf8(dir.path()));
  ASSERT_TRUE(canonical.ok());
  ASSERT_TRUE(create_directories(*canonical + "\\x\\y").ok());
  EXPECT_TRUE(fs::is_directory(dir / L"x\\y"));

  put(dir / L"file", "x");
  Result<void> blocked = create_directories(dir.utf8_path(L"file"));
  ASSERT_FALSE(blocked.ok());
  EXPECT_FALSE(has_line_break(blocked.error()));
  EXPECT_FALSE(create_directories(dir.utf8_path(L"file\\below")).ok());
}

TEST(SystemTimeNow, AgreesWithTheRuntimeClock) {
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  const SystemTime now = system_time_now();
  const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_GE(now.seconds, before - 1);
  EXPECT_LE(now.seconds, after);
  EXPECT_LT(now.nanoseconds, 1000000000u);
}

TEST(Utf8ToWide, ConvertsUtf8AndRefusesInvalidBytesAndNul) {
  Result<std::wstring> wide = windows::utf8_to_wide(std::string(k_name_utf8) + "\xF0\x9F\x98\x80");
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(*wide, std::wstring(k_name_wide) + L"\xD83D\xDE00");
  EXPECT_FALSE(windows::utf8_to_wide("bad\xFF").ok());
  EXPECT_FALSE(windows::utf8_to_wide("\xED\xA0\x80").ok());  // an encoded surrogate
  EXPECT_FALSE(windows::utf8_to_wide(std::string("a\0b", 3)).ok());
  EXPECT_FALSE(windows::wide_to_utf8(L"a\xD800").ok());
}

TEST(ArgumentToUtf8, EncodesPairsAsUtf8AndLoneSurrogatesAsInvalidBytes) {
  EXPECT_EQ(windows::argument_to_utf8(L"--client-dir"), "--client-dir");
  EXPECT_EQ(windows::argument_to_utf8(L"\u00e9\u65e5"), "\xC3\xA9\xE6\x97\xA5");
  EXPECT_EQ(windows::argument_to_utf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(windows::argument_to_utf8(L""), "");

  struct Case {
    const wchar_t* argument;
    const char* bytes;
  };
  const Case lone[] = {
      {L"\xD800", "\xED\xA0\x80"},
      {L"a\xDC00", "a\xED\xB0\x80"},
      {L"\xD800"
       L"A",
       "\xED\xA0\x80"
       "A"},
      {L"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD"},  // a pair in the wrong order
  };
  for (const Case& c : lone) {
    const std::string bytes = windows::argument_to_utf8(c.argument);
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_FALSE(is_valid_utf8(bytes));
  }
}

TEST(ErrorText, IsOneLineWithoutTheTrailingLineBreak) {
  for (unsigned long error : {2ul, 3ul, 5ul, 32ul, 123ul}) {
    const std::string text = windows::error_text(error);
    EXPECT_FALSE(text.empty()) << error;
    EXPECT_FALSE(has_line_break(text)) << error;
    EXPECT_NE(text.back(), ' ') << error;
  }
  EXPECT_EQ(windows::error_text(0x2000FFFF), "System error 536936447");
}

// ---- The built program, run as a child process ----

struct ProgramRun {
  DWORD exit_code = 0;
  std::string out;
  std::string err;
};

// quendal.exe beside this test program, when it has been built.
std::optional<fs::path> program_path() {
  wchar_t self[32768];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, 32768);
  const fs::path program = fs::path(std::wstring(self, length)).parent_path() / L"quendal.exe";
  if (!fs::exists(program)) return std::nullopt;
  return program;
}

// One argument quoted the way the C runtime splits the command line again.
std::wstring quote(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

ProgramRun run_program(const fs::path& program, const std::vector<std::wstring>& arguments,
                       const TempDir& scratch) {
  ProgramRun run;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const fs::path out_path = scratch / L"stdout.txt";
  const fs::path err_path = scratch / L"stderr.txt";
  HANDLE out = ::CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE err = ::CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(out, INVALID_HANDLE_VALUE);
  EXPECT_NE(err, INVALID_HANDLE_VALUE);

  std::wstring command_line = quote(program.native());
  for (const std::wstring& argument : arguments) command_line += L" " + quote(argument);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr,
                                        TRUE, 0, nullptr, nullptr, &startup, &process);
  EXPECT_TRUE(started) << ::GetLastError();
  if (started) {
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::GetExitCodeProcess(process.hProcess, &run.exit_code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(out);
  ::CloseHandle(err);
  if (in != INVALID_HANDLE_VALUE) ::CloseHandle(in);
  run.out = get(out_path);
  run.err = get(err_path);
  fs::remove(out_path);
  fs::remove(err_path);
  return run;
}

std::string manifest_for(const std::string& path, const std::string& content_sha256) {
  return R"({"schemaVersion":"1","channel":"live","releaseVersion":"1.0.0",)"
         R"("publishedAt":"2024-05-01T12:00:00Z","hashAlgorithm":"sha256",)"
         R"("downloadBaseUrl":"https://downloads.example.invalid/",)"
         R"("files":[{"path":")" +
         path + R"(","size":3,"sha256":")" + content_sha256 +
         R"(","blobPath":"blobs/held","policy":"required"}],)"
         R"("signature":{"algorithm":"ed25519","keyId":"k1","signature":"c2ln"}})";
}

const char k_abc_sha256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

#define REQUIRE_PROGRAM(program)                          \
  const std::optional<fs::path> program = program_path(); \
  if (!program) GTEST_SKIP() << "quendal.exe is not built beside the test program"

TEST(Program, WritesTheUsageWithBareLineFeeds) {
  REQUIRE_PROGRAM(program);
  TempDir scratch;
  const ProgramRun run = run_program(*program, {L"--help"}, scratch);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.out,
            "Usage: quendal --client-dir <PATH> --manifest <PATH> [--cache <PATH>] "
            "[--output <PATH>]\n"
            "\n"
            "Implicit exclusions include .velor-updater, velor-tirn.exe, quendal.exe, "
            "tools/quendal.exe, and log.txt.\n"
            "Protected root files are preserved when present and only repaired when missing.\n");
  EXPECT_EQ(run.err, "");
}

TEST(Program, ReadsNonAsciiArgumentsAsUtf8) {
  REQUIRE_PROGRAM(program);
  TempDir scratch;
  const fs::path manifest = scratch / L"absent-\u65e5\u672c.json";
  const ProgramRun run = run_program(
      *program, {L"--client-dir", scratch.path().native(), L"--manifest", manifest.native()},
      scratch);
  EXPECT_EQ(run.exit_code, 1u);
  const std::string prefix = "Failed to read manifest '" + utf8(manifest) + "': ";
  EXPECT_EQ(run.err.substr(0, prefix.size()), prefix) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST(Program, RefusesAnArgumentWithAnUnpairedSurrogate) {
  REQUIRE_PROGRAM(program);
  TempDir scratch;
  put(scratch / L"m.json", manifest_for("a.bin", k_abc_sha256));
  const ProgramRun run = run_program(
      *program, {L"--client-dir", L"client\xD800", L"--manifest", (scratch / L"m.json").native()},
      scratch);
  EXPECT_EQ(run.exit_code, 2u) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(run.err.empty());
}

TEST(Program, FailsToOpenAFileThatAnotherProcessHoldsWithoutSharing) {
  REQUIRE_PROGRAM(program);
  TempDir scratch;
  fs::create_directories(scratch / L"client");
  put(scratch / L"client\\held.bin", "abc");
  put(scratch / L"m.json", manifest_for("held.bin", k_abc_sha256));
  Holder holder(scratch / L"client\\held.bin");
  ASSERT_TRUE(holder.held());

  const ProgramRun run = run_program(*program,
                                     {L"--client-dir", (scratch / L"client").native(),
                                      L"--manifest", (scratch / L"m.json").native()},
                                     scratch);
  EXPECT_EQ(run.exit_code, 1u);
  Result<std::string> root = canonical_directory(utf8(scratch / L"client"));
  ASSERT_TRUE(root.ok());
  const std::string prefix = "Failed to open '" + *root + "\\held.bin': ";
  EXPECT_EQ(run.err.substr(0, prefix.size()), prefix) << run.err;
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err.back(), '\n');
  EXPECT_EQ(run.err.find('\r'), std::string::npos);
  EXPECT_EQ(run.out, "");
}

TEST(Program, ReplacesAnExistingCacheFile) {
  REQUIRE_PROGRAM(program);
  TempDir scratch;
  fs::create_directories(scratch / L"client");
  put(scratch / L"client\\a.bin", "abc");
  put(scratch / L"m.json", manifest_for("a.bin", k_abc_sha256));
  const std::vector<std::wstring> arguments = {
      L"--client-dir", (scratch / L"client").native(),
      L"--manifest",   (scratch / L"m.json").native(),
      L"--cache",      (scratch / L"cache\\c.json").native()};

  const ProgramRun first = run_program(*program, arguments, scratch);
  ASSERT_EQ(first.exit_code, 0u) << first.err;
  const std::string first_cache = get(scratch / L"cache\\c.json");
  EXPECT_NE(first_cache.find("\"velor-tirn-client-hash-cache.v2\""), std::string::npos);
  EXPECT_NE(first.out.find("\"usedCachedHash\":false"), std::string::npos) << first.out;

  const ProgramRun second = run_program(*program, arguments, scratch);
  ASSERT_EQ(second.exit_code, 0u) << second.err;
  EXPECT_EQ(second.err, "");
  EXPECT_NE(second.out.find("\"usedCachedHash\":true"), std::string::npos) << second.out;
  ASSERT_FALSE(second.out.empty());
  EXPECT_EQ(second.out.back(), '\n');
  EXPECT_EQ(second.out.find('\r'), std::string::npos);

  // The temporary file is gone and only the replaced cache remains.
  std::vector<std::wstring> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(scratch / L"cache")) {
    names.push_back(entry.path().filename().native());
  }
  EXPECT_EQ(names, std::vector<std::wstring>{L"c.json"});
  EXPECT_NE(get(scratch / L"cache\\c.json").find("\"velor-tirn-client-hash-cache.v2\""),
            std::string::npos);
}

TEST(Program, ReplacesAHiddenOrSystemOutputFile) {
  REQUIRE_PROGRAM(program);
  TempDir scratch;
  fs::create_directories(scratch / L"client");
  put(scratch / L"client\\a.bin", "abc");
  put(scratch / L"m.json", manifest_for("a.bin", k_abc_sha256));
  for (DWORD attributes : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM}}) {
    const fs::path output = scratch / (L"report-" + std::to_wstring(attributes) + L".json");
    put(output, std::string(100000, 'x'));
    ASSERT_TRUE(::SetFileAttributesW(output.c_str(), attributes));
    const ProgramRun run =
        run_program(*program,
                    {L"--client-dir", (scratch / L"client").native(), L"--manifest",
                     (scratch / L"m.json").native(), L"--output", output.native()},
                    scratch);
    EXPECT_EQ(run.exit_code, 0u) << attributes << ": " << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "");
    const std::string report = get(output);
    EXPECT_EQ(report.rfind("{\"schemaVersion\":\"velor-tirn-client-scan.v1\",", 0), 0u) << report;
    // Nothing of the old content is left behind the report.
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report.back(), '}');
    EXPECT_EQ(report.find("xxxx"), std::string::npos);
  }
}

}  // namespace
}  // namespace quendal::platform
