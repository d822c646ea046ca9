// Every operating-system call the tool makes. Exactly one implementation is compiled:
// platform_posix.cpp or platform_windows.cpp. Paths cross this interface as UTF-8 text; the
// implementation converts them to the system's own form. On Windows a path that is 248
// characters or longer once made absolute reaches the system in its extended-length `\\?\`
// form, so long paths work whatever the process's long-path setting; shorter ones go as typed.
// Failures carry the cause text only (the system's description of the error, one line);
// callers add the action and the path.
//
// Every function here is safe to call from several threads at once, except where noted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/result.h"

namespace quendal::platform {

// ---- Paths (pure text, no file-system access) ----

// The separator that join_path puts between components: "/" on POSIX, "\" on Windows.
extern const char k_path_separator;

// `base` followed by the separator and `component`; no separator is doubled when `base`
// already ends in one. An empty `base` gives `component`. On Windows a `component` that is
// exactly "." adds nothing: a POSIX kernel takes such a component for the directory itself,
// while under a `\\?\` root Windows would take it for a name no file can have, so the same
// relative path names the same file on both systems.
std::string join_path(std::string_view base, std::string_view component);

// join_path in place: appends the separator (unless `path` is empty or already ends in one)
// and `component` to `path`; on Windows a `component` of exactly "." leaves `path` unchanged.
void append_path_component(std::string& path, std::string_view component);

// `path` without its final component and the separators before it ("dir/c.json" gives "dir",
// "c.json" gives "", "/c.json" gives "/"). The parent of a path that names a root is the path.
std::string parent_path(std::string_view path);

// The final component of `path` ("dir/c.json" gives "c.json"); empty when `path` ends in a
// separator.
std::string final_component(std::string_view path);

// ---- Files ----

// A file's last-write time in the platform's own units: seconds since 1970 on POSIX, 100 ns
// ticks since 1601 on Windows. Only to_modified_seconds interprets it.
using FileTime = std::int64_t;

enum class FileKind { regular, directory, other };

// Which file a path led to: device and inode number on POSIX, volume serial number and file
// index on Windows. Two queries that give the same identity met the same file.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Permission bits of a file as POSIX writes them (0644); Windows has none and ignores them.
using FilePermissions = std::uint32_t;
inline constexpr FilePermissions k_default_permissions = 0666;

struct FileMetadata {
  std::uint64_t length = 0;
  FileTime last_write = 0;
  FileKind kind = FileKind::regular;
  FileIdentity identity;
  FilePermissions permissions = k_default_permissions;
};

// Whole seconds from 1970-01-01T00:00:00Z to `time`, rounded down; nullopt before that instant.
std::optional<std::int64_t> to_modified_seconds(FileTime time);

// Metadata of `path`, following links. nullopt when the path does not exist (POSIX: ENOENT or
// ENOTDIR; Windows: errors 2, 3, 15, 53, 67); every other error is a failure. On Windows a path
// with a component longer than 255 UTF-16 code units is never missing: it fails with the text
// of ERROR_INVALID_NAME, as NTFS refuses such a name, also where the system says not found.
Result<std::optional<FileMetadata>> file_metadata(const std::string& path);

// Succeeds for a regular file; for anything else fails with the cause that InputFile::open
// gives it (the system's text for a directory, "Not a regular file" for the rest), so that a
// file whose metadata already shows it cannot be read is refused without being opened.
Result<void> require_regular_file(const FileMetadata& metadata);

// How a path that the caller named is opened when its final component is a symbolic link (on
// Windows a symbolic link or junction). An elevated run over a folder that a less trusted user
// can write must not be turned, by a link that user planted, on a file of the user's choosing.
enum class FinalLink {
  follow,  // followed, whoever made it
  // Followed only when the link belongs to the process's effective user or to the system (root;
  // on Windows also SYSTEM and the Administrators group); any other owner fails with
  // k_foreign_link_cause. The link checked is the link followed: replacing it meanwhile does
  // not lead elsewhere (POSIX; on Windows the window is not closed).
  owned_only,
};

// The cause of a link that FinalLink::owned_only refuses.
extern const std::string_view k_foreign_link_cause;

// Hints that the buffer [data, data + size), about to be filled, be backed by huge pages where
// the system offers them: for buffers of tens of megabytes that saves most page faults.
// Harmless to call on any buffer; does nothing where the hint does not exist.
void prefer_huge_pages(void* data, std::size_t size);

// Reserves room for `count` elements in `vector`, backed by huge pages where the system offers
// them: the vectors of a large document's records are filled by the million, and each page of
// them costs a fault when it is first touched. Room that is never touched costs nothing.
template <typename Vector>
void reserve_large(Vector& vector, std::size_t count) {
  vector.reserve(count);
  prefer_huge_pages(vector.data(), vector.capacity() * sizeof(*vector.data()));
}

// The bytes of a file, in a buffer that is never zero-filled first (the read fills it) and
// that a large file gets backed by huge pages.
class FileBytes {
 public:
  FileBytes() = default;
  // Room for `capacity` bytes, none of them used yet. Throws std::bad_alloc.
  explicit FileBytes(std::size_t capacity)
      : m_data(new char[capacity == 0 ? 1 : capacity]), m_capacity(capacity) {
    prefer_huge_pages(m_data.get(), capacity);
  }

  char* data() { return m_data.get(); }
  std::size_t size() const { return m_size; }
  std::size_t capacity() const { return m_capacity; }
  std::string_view view() const { return {m_data.get(), m_size}; }
  // REQUIRES: size <= capacity().
  void set_size(std::size_t size) { m_size = size; }

 private:
  std::unique_ptr<char[]> m_data;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
};

// A whole file and the metadata of the file it was read from.
struct FileContent {
  FileBytes bytes;
  FileMetadata metadata;

  std::string_view text() const { return bytes.view(); }
};

// The whole content of `path`. Fails when it cannot be opened or read, and when it is not a
// regular file (a directory, FIFO or device), which could block or never end.
Result<FileContent> read_file(const std::string& path, FinalLink final_link = FinalLink::follow);

// Writes `bytes` to `path`, creating it or truncating it, in one request. An existing file is
// truncated whatever its attributes (on Windows a hidden or system file too) and keeps them.
Result<void> write_file(const std::string& path, std::string_view bytes);

// Removes the file `path`; a link is removed itself, never what it leads to.
Result<void> remove_file(const std::string& path);

// Renames `from` to `to`, replacing a file at `to`.
Result<void> rename_file(const std::string& from, const std::string& to);

// Creates the directory `path` and every missing directory above it; existing ones are fine.
Result<void> create_directories(const std::string& path);

// The canonical absolute form of the directory `path`, links resolved (on Windows the final
// path name, `\\?\` form). Fails when the path cannot be resolved.
Result<std::string> canonical_directory(const std::string& path);

// A file written in pieces: created or truncated as write_file does, written by write() calls
// one after the other, and closed by close(), whose failure is reported (the data may not have
// reached the disk). The destructor closes a file still open and ignores the outcome. Not
// copyable; one object is used by one thread.
class OutputFile {
 public:
  // Opens `path` for writing, creating it or truncating it; `final_link` says which final link
  // is followed.
  static Result<OutputFile> create(const std::string& path,
                                   FinalLink final_link = FinalLink::follow);

  // A new file at `path` that nobody else can have prepared: whatever stands at the name (a
  // file, or a link, which is never followed) is removed, then the file is created exclusively,
  // refusing links (on Windows CREATE_NEW on the name itself, and a handle that is not a plain
  // file is refused). Something that reappears at the name in between fails the create, and
  // nothing outside the name is touched. `permissions` are those of the new file (less the
  // process's umask).
  static Result<OutputFile> create_new(const std::string& path,
                                       FilePermissions permissions = k_default_permissions);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Appends all of `bytes`.
  Result<void> write(std::string_view bytes);
  Result<void> close();

 private:
  OutputFile(std::intptr_t handle, std::string path) : m_handle(handle), m_path(std::move(path)) {}

  std::intptr_t m_handle;
  std::string m_path;
};

// A file opened for sequential reading without locking it against other processes. Opening
// never blocks, and only regular files can be opened: a FIFO, socket, device or directory
// fails to open. On POSIX a final link is looked through before anything is opened, so a link
// to a device that replaces a file after its metadata was read never opens the device. Not
// copyable; closed by the destructor. One object is used by one thread.
class InputFile {
 public:
  static Result<InputFile> open(const std::string& path);

  // The metadata of the file that was opened, taken on the open file: a path whose file was
  // replaced after an earlier metadata query shows it here by another identity or length.
  const FileMetadata& metadata() const { return m_metadata; }

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Where a read found its data, when the system can tell.
  enum class ReadSource {
    unknown,  // the system cannot tell (Windows, a file system without the query)
    cache,    // every byte came from the system's cache
    device,   // the read had to wait for the device
  };

  // Reads up to `size` bytes from the current position; 0 means the end of the file. Fewer
  // bytes than asked for come back only at the end of the file (or from a read that failed).
  // A given `source` is set to where the data came from.
  Result<std::size_t> read(std::byte* buffer, std::size_t size, ReadSource* source = nullptr);

  // A hint, never a failure: asks the system to start reading [offset, offset + length) into
  // its cache and returns without waiting for the data. On Windows it does nothing: the file is
  // opened for sequential scanning, which already has the system read ahead of the reader.
  void hint_will_need(std::uint64_t offset, std::uint64_t length);

 private:
  InputFile(std::intptr_t handle, const FileMetadata& metadata)
      : m_handle(handle), m_metadata(metadata) {}
  void close();

  std::intptr_t m_handle;
  FileMetadata m_metadata;
  std::uint64_t m_position = 0;  // bytes read so far
};

// What prefetch_file found.
enum class PrefetchResult {
  cached,   // the start of the file was already in the system's cache; nothing was done
  started,  // reading was started (or, on Windows, done)
  failed,   // the file could not be opened as a regular file, or the request was refused
};

// Read-ahead for a file that a hashing job will read soon: opens `path` the way InputFile::open
// does (regular files only, no lock), has the system bring its first `length` bytes into its
// cache, and closes it before returning. On POSIX the reading is only started (no wait for the
// data); on Windows the bytes are read through a small buffer of the calling thread. Failures
// are reported only as `failed`: the job that reads the file meets them itself.
PrefetchResult prefetch_file(const std::string& path, std::uint64_t length);

// While one lives, the calls of the thread that made it are read-ahead hints: the caller ignores
// their failures, so they change nothing a run reports. The fault-injection test build neither
// counts nor fails them; every other build does nothing here. Not to be moved between threads.
class HintScope {
 public:
  HintScope();
  ~HintScope();
  HintScope(const HintScope&) = delete;
  HintScope& operator=(const HintScope&) = delete;
};

// ---- SHA-256 ----

using Sha256Digest = std::array<std::uint8_t, 32>;

// An incremental SHA-256 computation backed by the system's cryptographic library. One object
// is used by one thread; it can be reused after finish().
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  void update(const std::byte* data, std::size_t size);
  // Returns the digest of everything fed since construction or the last finish().
  Sha256Digest finish();

 private:
  void* m_state;
};

// ---- Process and console ----

// The process's arguments after the program name as UTF-8 texts: POSIX arguments as the bytes
// they are, Windows arguments (wmain's) converted from UTF-16. An argument that has no UTF-8
// form (an unpaired surrogate) becomes bytes that are not valid UTF-8, so that the command line
// refuses it like any other invalid argument. Each platform defines the form it has.
std::vector<std::string> command_line_arguments(int argc, char** argv);
std::vector<std::string> command_line_arguments(int argc, wchar_t** argv);

// Prepares the process: a closed standard output must give a write error, not end the
// process; on Windows both streams switch to binary mode; the fault-injection test build arms
// its plan. Call once at start, before threads.
void initialize_process();

// Writes all of `bytes` to standard output or standard error.
Result<void> write_stdout(std::string_view bytes);
Result<void> write_stderr(std::string_view bytes);

// True when standard error is a terminal (POSIX: isatty) or a console (Windows: GetConsoleMode
// succeeds), where a person may be watching; false for files, pipes and a closed stream.
bool stderr_is_terminal();

// The value of the environment variable `name`, nullopt when it is not set. On Windows the
// UTF-16 value comes as argument_to_utf8 gives it, so a value without a UTF-8 form is passed as
// bytes that are not valid UTF-8.
std::optional<std::string> environment_variable(const char* name);

// An output for lines that a reader may take at its own pace, or never: the program's progress
// channel. Writes never wait, and a reader that has gone away gives a write failure, never a
// signal. Not copyable; closed by the destructor. One object is used by one thread.
class NonBlockingOutput {
 public:
  // The open descriptor `descriptor` of the process (on Windows a C runtime descriptor, as a
  // parent passes extra standard streams), duplicated. A pipe's descriptor is switched to
  // non-blocking mode (on Windows PIPE_NOWAIT) until this object is destroyed; its other holders
  // share that mode meanwhile. Fails with "Bad file descriptor" when `descriptor` is not open
  // for writing.
  static Result<NonBlockingOutput> open_descriptor(std::int64_t descriptor);

  // The file, FIFO or (Windows) named pipe `\\.\pipe\name` at the absolute path `path`, opened
  // for writing: a regular file is created when missing and appended to; a FIFO must be open
  // for reading already (otherwise "No such device or address"), as must a named pipe. Fails
  // with "Not an absolute path" for a relative one, or the system's cause.
  static Result<NonBlockingOutput> open_path(const std::string& path);

  NonBlockingOutput(NonBlockingOutput&& other) noexcept;
  NonBlockingOutput& operator=(NonBlockingOutput&& other) noexcept;
  NonBlockingOutput(const NonBlockingOutput&) = delete;
  NonBlockingOutput& operator=(const NonBlockingOutput&) = delete;
  ~NonBlockingOutput();

  // Writes the start of `bytes` that the reader takes now and returns its length: 0 when a pipe
  // or socket is full. A failure is the cause ("Broken pipe" once the reader has gone).
  Result<std::size_t> write_some(std::string_view bytes);

  // Returns once write_some may take bytes again or `milliseconds` have passed, whichever comes
  // first (on Windows after a short sleep).
  void wait_writable(int milliseconds);

 private:
  NonBlockingOutput(std::intptr_t handle, int kind, int restore_flags)
      : m_handle(handle), m_kind(kind), m_restore_flags(restore_flags) {}
  void close();

  std::intptr_t m_handle;
  int m_kind;           // how write_some writes to the handle; the implementation's own values
  int m_restore_flags;  // the mode to put back when closing, or -1
};

// ---- Clock and threads ----

// A reading of the system clock, with the best resolution the system has.
struct SystemTime {
  std::int64_t seconds = 0;       // whole seconds since 1970, rounded down
  std::uint32_t nanoseconds = 0;  // 0 to 999999999
};
SystemTime system_time_now();

// The number of logical processors available to the process, at least 1.
unsigned logical_processor_count();

}  // namespace quendal::platform
