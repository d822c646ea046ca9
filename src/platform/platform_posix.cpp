// POSIX implementation of the platform layer: file access through open/read/stat, SHA-256
// through OpenSSL's EVP interface.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "platform/fault_point.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "util/out_of_memory.h"

namespace quendal::platform {
namespace {

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be stored in `buffer`.
  return std::string(strerror_r(error, buffer, sizeof buffer));
}

Failure errno_failure(int error) { return Failure{error_text(error)}; }

int retry_open(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Result<void> write_all(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A parent may hand over a stream in non-blocking mode (or share the description of a
      // pipe that the progress channel switched): wait for room as a blocking write would.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        struct pollfd room = {fd, POLLOUT, 0};
        ::poll(&room, 1, -1);
        continue;
      }
      return errno_failure(errno);
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

FileMetadata metadata_of(const struct stat& st) {
  FileMetadata metadata;
  metadata.length = static_cast<std::uint64_t>(st.st_size);
  metadata.last_write = static_cast<FileTime>(st.st_mtim.tv_sec);
  metadata.kind = S_ISREG(st.st_mode)   ? FileKind::regular
                  : S_ISDIR(st.st_mode) ? FileKind::directory
                                        : FileKind::other;
  metadata.identity = {static_cast<std::uint64_t>(st.st_dev),
                       static_cast<std::uint64_t>(st.st_ino)};
  metadata.permissions = static_cast<FilePermissions>(st.st_mode & 0777);
  return metadata;
}

Result<void> refuse_unless_regular(FileKind kind) {
  if (kind == FileKind::regular) return {};
  if (kind == FileKind::directory) return errno_failure(EISDIR);
  return Failure{"Not a regular file"};
}

// Closes a descriptor when the scope ends.
struct ClosedAtExit {
  int fd;
  ~ClosedAtExit() { ::close(fd); }
};

// The final component of `path` is a link (or the path loops): what it leads to is opened as a
// path only, which runs no device's open, and is opened for reading through /proc/self/fd only
// when it is a regular file, so the file checked is the file opened. Without /proc mounted the
// path is opened again, after the check.
Result<int> open_link_target(const std::string& path, int flags) {
  const int target = retry_open(path.c_str(), O_PATH | O_CLOEXEC);
  if (target < 0) return errno_failure(errno);
  const ClosedAtExit closed{target};
  struct stat st;
  if (::fstat(target, &st) != 0) return errno_failure(errno);
  Result<void> regular = refuse_unless_regular(metadata_of(st).kind);
  if (!regular.ok()) return regular.failure();
  char reopen[32];
  std::snprintf(reopen, sizeof reopen, "/proc/self/fd/%d", target);
  int fd = retry_open(reopen, flags);
  if (fd < 0 && errno == ENOENT) fd = retry_open(path.c_str(), flags);
  if (fd < 0) return errno_failure(errno);
  return fd;
}

// Opens `path` for reading and fills `st`, refusing anything but a regular file. O_NONBLOCK
// keeps a FIFO from blocking the open; the type check then refuses it, so nothing is ever read
// from a pipe or device that might never end.
Result<int> open_regular_file(const std::string& path, struct stat& st) {
  FAULT_POINT(open, path);
  constexpr int k_flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = retry_open(path.c_str(), k_flags | O_NOFOLLOW);
  if (fd < 0 && errno == ELOOP) {
    Result<int> through = open_link_target(path, k_flags);
    if (!through.ok()) return through;
    fd = *through;
  }
  if (fd < 0) return errno_failure(errno);
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return errno_failure(error);
  }
  Result<void> regular = refuse_unless_regular(metadata_of(st).kind);
  if (!regular.ok()) {
    ::close(fd);
    return regular.failure();
  }
  return fd;
}

// More links than this in a row fail as the kernel's own limit does.
constexpr int k_max_links = 40;

// Opens `path` with `flags` under FinalLink::owned_only. Each link's text is read from the very
// link whose owner was checked and followed from there, so a link replaced after the check
// leads nowhere new. Links on /proc (/dev/stdout leads to one) are the kernel's own, which
// nobody can plant, and are followed by the kernel: their texts ("pipe:[…]") name no path.
Result<int> open_owned_links(const std::string& path, int flags, mode_t mode) {
  std::string current = path;
  for (int links = 0; links <= k_max_links; ++links) {
    const int fd = retry_open(current.c_str(), flags | O_NOFOLLOW, mode);
    if (fd >= 0) return fd;
    if (errno != ELOOP) return errno_failure(errno);
    const int link = retry_open(current.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0) return errno_failure(errno);
    const ClosedAtExit closed{link};
    struct stat st;
    if (::fstatat(link, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
      return errno_failure(errno);
    }
    if (!S_ISLNK(st.st_mode)) continue;  // replaced by something else meanwhile: open that
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
      return Failure{std::string(k_foreign_link_cause)};
    struct statfs file_system;
    if (::fstatfs(link, &file_system) == 0 && file_system.f_type == PROC_SUPER_MAGIC) {
      const int followed = retry_open(current.c_str(), flags, mode);
      if (followed < 0) return errno_failure(errno);
      return followed;
    }
    char text[PATH_MAX];
    const ssize_t length = ::readlinkat(link, "", text, sizeof text);
    if (length < 0) return errno_failure(errno);
    if (static_cast<std::size_t>(length) == sizeof text) return errno_failure(ENAMETOOLONG);
    const std::string_view target(text, static_cast<std::size_t>(length));
    current =
        target.starts_with('/') ? std::string(target) : join_path(parent_path(current), target);
  }
  return errno_failure(ELOOP);
}

std::uint64_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

// The rest of the open file `fd`, whose length was `length` when it was opened.
Result<FileBytes> read_to_end(int fd, std::uint64_t length) {
  if (length > physical_memory_bytes()) {
    return Failure{std::string(k_out_of_memory), FailureKind::out_of_memory};
  }
  return read_whole_file(length, [fd](char* buffer, std::size_t size) -> Result<std::size_t> {
    for (;;) {
      const ssize_t n = ::read(fd, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return errno_failure(errno);
    }
  });
}

// The kernel caps one read-ahead request at the device's read-ahead or largest request size,
// whichever is larger, and drops the rest; requests of 1 MiB stay under that cap on any device.
constexpr std::uint64_t k_hint_request = 1024 * 1024;

void advise_will_need(int fd, std::uint64_t offset, std::uint64_t length) {
  for (std::uint64_t end = offset + length; offset < end; offset += k_hint_request) {
    const std::uint64_t size = end - offset < k_hint_request ? end - offset : k_hint_request;
    if (::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                        POSIX_FADV_WILLNEED) != 0) {
      return;
    }
  }
}

}  // namespace

const char k_path_separator = '/';

std::string join_path(std::string_view base, std::string_view component) {
  std::string result(base);
  append_path_component(result, component);
  return result;
}

void append_path_component(std::string& path, std::string_view component) {
  if (!path.empty() && path.back() != '/') path += '/';
  path += component;
}

std::string parent_path(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] != '/') --end;                // drop the final component
  if (end == path.size() && end > 0) return std::string(path);  // ends in "/": a directory
  while (end > 1 && path[end - 1] == '/') --end;  // drop the separators, but keep a root "/"
  return std::string(path.substr(0, end));
}

std::string final_component(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<std::int64_t> to_modified_seconds(FileTime time) {
  // st_mtim's seconds are already rounded down (its nanoseconds are never negative).
  if (time < 0) return std::nullopt;
  return time;
}

Result<std::optional<FileMetadata>> file_metadata(const std::string& path) {
  FAULT_POINT(metadata, path);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<FileMetadata>();
    return errno_failure(errno);
  }
  return std::optional<FileMetadata>(metadata_of(st));
}

Result<void> require_regular_file(const FileMetadata& metadata) {
  return refuse_unless_regular(metadata.kind);
}

const std::string_view k_foreign_link_cause = "Not following a symbolic link owned by another user";

namespace {

// Writes `bytes` to the open file `fd` (of `path`); the caller closes it.
Result<void> write_open_file(int fd, [[maybe_unused]] const std::string& path,
                             std::string_view bytes) {
  FAULT_POINT(write, path);
  return write_all(fd, bytes);
}

}  // namespace

Result<FileContent> read_file(const std::string& path, FinalLink final_link) {
  // A failed read leaves nothing behind, so failing it before the open looks the same.
  FAULT_POINT(read, path);
  struct stat st;
  Result<int> opened = Failure{""};
  if (final_link == FinalLink::follow) {
    opened = open_regular_file(path, st);
  } else {
    FAULT_POINT(open, path);
    opened = open_owned_links(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    if (opened.ok() && ::fstat(*opened, &st) != 0) opened = errno_failure(errno);
    if (opened.ok()) {
      Result<void> regular = refuse_unless_regular(metadata_of(st).kind);
      if (!regular.ok()) {
        ::close(*opened);
        opened = regular.failure();
      }
    }
  }
  if (!opened.ok()) return opened.failure();
  const ClosedAtExit closed{*opened};
  Result<FileBytes> bytes = read_to_end(*opened, static_cast<std::uint64_t>(st.st_size));
  if (!bytes.ok()) return bytes.failure();
  return FileContent{std::move(bytes).value(), metadata_of(st)};
}

Result<void> write_file(const std::string& path, std::string_view bytes) {
  FAULT_POINT(open, path);
  const int fd =
      retry_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return errno_failure(errno);
  Result<void> written = write_open_file(fd, path, bytes);
  if (::close(fd) != 0 && written.ok()) return errno_failure(errno);
  return written;
}

Result<void> remove_file(const std::string& path) {
  FAULT_POINT(remove, path);
  if (::unlink(path.c_str()) != 0) return errno_failure(errno);
  return {};
}

Result<void> rename_file(const std::string& from, const std::string& to) {
  FAULT_POINT(rename, to);
  if (::rename(from.c_str(), to.c_str()) != 0) return errno_failure(errno);
  return {};
}

Result<void> create_directories(const std::string& path) {
  FAULT_POINT(create_directory, path);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return errno_failure(ENOTDIR);
  }
  const std::string parent = parent_path(path);
  if (!parent.empty() && parent != path) {
    Result<void> made = create_directories(parent);
    if (!made.ok()) return made;
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return errno_failure(errno);
  return {};
}

Result<std::string> canonical_directory(const std::string& path) {
  FAULT_POINT(metadata, path);
  // Owned at once: copying it into the result may throw for want of memory.
  const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr),
                                                          &::free);
  if (resolved == nullptr) return errno_failure(errno);
  return std::string(resolved.get());
}

Result<OutputFile> OutputFile::create(const std::string& path, FinalLink final_link) {
  std::string own_path = path;  // before the open: an allocation failure then changes nothing
  FAULT_POINT(open, path);
  constexpr int k_flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY;
  if (final_link == FinalLink::owned_only) {
    Result<int> fd = open_owned_links(path, k_flags, k_default_permissions);
    if (!fd.ok()) return fd.failure();
    return OutputFile(*fd, std::move(own_path));
  }
  const int fd = retry_open(path.c_str(), k_flags, k_default_permissions);
  if (fd < 0) return errno_failure(errno);
  return OutputFile(fd, std::move(own_path));
}

Result<OutputFile> OutputFile::create_new(const std::string& path, FilePermissions permissions) {
  std::string own_path = path;
  FAULT_POINT(remove, path);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno_failure(errno);
  FAULT_POINT(open, path);
  const int fd =
      retry_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                 permissions & 0777);
  if (fd < 0) return errno_failure(errno);
  return OutputFile(fd, std::move(own_path));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_path(std::move(other.m_path)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    (void)close();
    m_handle = std::exchange(other.m_handle, -1);
    m_path = std::move(other.m_path);
  }
  return *this;
}

OutputFile::~OutputFile() { (void)close(); }

Result<void> OutputFile::write(std::string_view bytes) {
  return write_open_file(static_cast<int>(m_handle), m_path, bytes);
}

Result<void> OutputFile::close() {
  if (m_handle < 0) return {};
  const int fd = static_cast<int>(std::exchange(m_handle, -1));
  if (::close(fd) != 0) return errno_failure(errno);
  return {};
}

Result<InputFile> InputFile::open(const std::string& path) {
  struct stat st;
  Result<int> opened = open_regular_file(path, st);
  if (!opened.ok()) return opened.failure();
  FAULT_NOTE_HANDLE(*opened, path);
  return InputFile(*opened, metadata_of(st));
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
  if (m_handle >= 0) {
    FAULT_FORGET_HANDLE(m_handle);
    ::close(static_cast<int>(m_handle));
  }
  m_handle = -1;
}

namespace {

// Cleared for the rest of the process by the first file system that refuses the query.
std::atomic<bool> g_reads_tell_source{true};

// One read that takes only what is in the system's cache: the count (short where the cache
// ends, 0 at the end of the file), or nullopt when the first byte is not cached or the file
// system cannot tell.
std::optional<ssize_t> read_from_cache(int fd, std::byte* buffer, std::size_t size) {
  struct iovec vector = {buffer, size};
  for (;;) {
    const ssize_t n = ::preadv2(fd, &vector, 1, -1, RWF_NOWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) g_reads_tell_source.store(false, std::memory_order_relaxed);
    return std::nullopt;
  }
}

}  // namespace

Result<std::size_t> InputFile::read(std::byte* buffer, std::size_t size, ReadSource* source) {
  FAULT_POINT_ON_HANDLE(read, m_handle);
  const int fd = static_cast<int>(m_handle);
  std::size_t done = 0;
  if (source != nullptr) {
    *source = ReadSource::unknown;
    if (g_reads_tell_source.load(std::memory_order_relaxed)) {
      const std::optional<ssize_t> cached = read_from_cache(fd, buffer, size);
      if (cached) {
        done = static_cast<std::size_t>(*cached);
        // The whole request, the end of the file, or the length the open file had: nothing
        // more to read now. (A file that grows while it is read ends where it ended at open.)
        m_position += done;
        if (done == size || done == 0 || m_position == m_metadata.length) {
          *source = ReadSource::cache;
          return done;
        }
      }
      if (g_reads_tell_source.load(std::memory_order_relaxed)) *source = ReadSource::device;
    }
  }
  for (;;) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n >= 0) {
      m_position += static_cast<std::uint64_t>(n);
      return done + static_cast<std::size_t>(n);
    }
    if (errno != EINTR) return errno_failure(errno);
  }
}

void InputFile::hint_will_need(std::uint64_t offset, std::uint64_t length) {
  advise_will_need(static_cast<int>(m_handle), offset, length);
}

HintScope::HintScope() { FAULT_ENTER_HINT_SCOPE(); }

HintScope::~HintScope() { FAULT_LEAVE_HINT_SCOPE(); }

PrefetchResult prefetch_file(const std::string& path, std::uint64_t length) {
  struct stat st;
  Result<int> opened = open_regular_file(path, st);
  if (!opened.ok()) return PrefetchResult::failed;
  const int fd = *opened;
  // One byte read only if it is cached tells a cached file from one that is not; a file system
  // that cannot answer gets the hint as well.
  char probe;
  struct iovec vector = {&probe, 1};
  const ssize_t probed = ::preadv2(fd, &vector, 1, 0, RWF_NOWAIT);
  PrefetchResult result = PrefetchResult::cached;
  if (probed < 0) {
    advise_will_need(fd, 0, length);
    result = PrefetchResult::started;
  }
  ::close(fd);
  return result;
}

namespace {

// Fetched once: an implicit fetch on every initialisation takes a global lock. A fetch that
// failed (for want of memory) is tried again by the next caller.
const EVP_MD* sha256_algorithm() {
  static std::atomic<EVP_MD*> algorithm{nullptr};
  if (EVP_MD* fetched = algorithm.load(std::memory_order_acquire)) return fetched;
  EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (fetched == nullptr) return nullptr;
  EVP_MD* earlier = nullptr;
  if (!algorithm.compare_exchange_strong(earlier, fetched, std::memory_order_acq_rel)) {
    EVP_MD_free(fetched);
    return earlier;
  }
  return fetched;
}

}  // namespace

// The initialisation allocates the digest's own state: without it every update would fail and
// the digest come out wrong, so it fails the construction instead.
Sha256::Sha256() : m_state(EVP_MD_CTX_new()) {
  auto* context = static_cast<EVP_MD_CTX*>(m_state);
  const EVP_MD* algorithm = sha256_algorithm();
  if (context == nullptr || algorithm == nullptr ||
      EVP_DigestInit_ex2(context, algorithm, nullptr) != 1) {
    EVP_MD_CTX_free(context);
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_state)); }

void Sha256::update(const std::byte* data, std::size_t size) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_state), data, size);
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  auto* context = static_cast<EVP_MD_CTX*>(m_state);
  EVP_DigestFinal_ex(context, digest.data(), &length);
  EVP_DigestInit_ex2(context, nullptr, nullptr);
  return digest;
}

void initialize_process() {
  FAULT_ARM_FROM_ENVIRONMENT();
  ::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

Result<void> write_stdout(std::string_view bytes) {
  FAULT_POINT(write, "(standard output)");
  return write_all(STDOUT_FILENO, bytes);
}

Result<void> write_stderr(std::string_view bytes) { return write_all(STDERR_FILENO, bytes); }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

std::optional<std::string> environment_variable(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// The progress channel has no fault points: its failures change nothing that a run reports, and
// the end-to-end tests fail it for real (a closed pipe, /dev/full, a descriptor that is not open).
namespace {

// How NonBlockingOutput writes: a socket takes MSG_DONTWAIT per call, so its description keeps
// its mode; anything else is written with write(), non-blocking where it could block.
constexpr int k_write_plain = 0;
constexpr int k_send_socket = 1;

}  // namespace

Result<NonBlockingOutput> NonBlockingOutput::open_descriptor(std::int64_t descriptor) {
  if (descriptor < 0 || descriptor > INT_MAX) return errno_failure(EBADF);
  const int fd = static_cast<int>(descriptor);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return errno_failure(errno);
  if ((flags & O_ACCMODE) == O_RDONLY) return errno_failure(EBADF);
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno_failure(errno);
  // A descriptor of our own, out of the way of the standard streams and not inherited.
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return errno_failure(errno);
  if (S_ISSOCK(st.st_mode)) return NonBlockingOutput(own, k_send_socket, -1);
  int restore = -1;
  // A pipe has no per-call non-blocking write: its description changes mode, for as long as
  // the channel is open. A terminal is left alone, since the shell shares it; it takes writes
  // at once anyway.
  if (S_ISFIFO(st.st_mode) && (flags & O_NONBLOCK) == 0) {
    if (::fcntl(own, F_SETFL, flags | O_NONBLOCK) == 0) restore = flags;
  }
  return NonBlockingOutput(own, k_write_plain, restore);
}

Result<NonBlockingOutput> NonBlockingOutput::open_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return Failure{"Not an absolute path"};
  // O_NONBLOCK: opening a FIFO without a reader fails (ENXIO) instead of waiting for one, and
  // the description is the channel's own, so writes to it never wait either.
  const int fd = retry_open(
      path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return errno_failure(errno);
  return NonBlockingOutput(fd, k_write_plain, -1);
}

NonBlockingOutput::NonBlockingOutput(NonBlockingOutput&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)),
      m_kind(other.m_kind),
      m_restore_flags(other.m_restore_flags) {}

NonBlockingOutput& NonBlockingOutput::operator=(NonBlockingOutput&& other) noexcept {
  if (this != &other) {
    close();
    m_handle = std::exchange(other.m_handle, -1);
    m_kind = other.m_kind;
    m_restore_flags = other.m_restore_flags;
  }
  return *this;
}

NonBlockingOutput::~NonBlockingOutput() { close(); }

void NonBlockingOutput::close() {
  if (m_handle < 0) return;
  const int fd = static_cast<int>(std::exchange(m_handle, -1));
  if (m_restore_flags >= 0) ::fcntl(fd, F_SETFL, m_restore_flags);
  ::close(fd);
}

Result<std::size_t> NonBlockingOutput::write_some(std::string_view bytes) {
  const int fd = static_cast<int>(m_handle);
  for (;;) {
    const ssize_t n = m_kind == k_send_socket
                          ? ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                          : ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::size_t{0};
    return errno_failure(errno);
  }
}

void NonBlockingOutput::wait_writable(int milliseconds) {
  struct pollfd room = {static_cast<int>(m_handle), POLLOUT, 0};
  ::poll(&room, 1, milliseconds);
}

SystemTime system_time_now() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return SystemTime{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

void prefer_huge_pages(void* data, std::size_t size) {
  constexpr std::uintptr_t k_huge_page = 2 * 1024 * 1024;
  if (size < 2 * k_huge_page) return;
  // Only whole huge pages inside the buffer can be advised.
  const auto begin =
      (reinterpret_cast<std::uintptr_t>(data) + k_huge_page - 1) & ~(k_huge_page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(k_huge_page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

unsigned logical_processor_count() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int available = CPU_COUNT(&set);
    if (available > 0) return static_cast<unsigned>(available);
  }
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

}  // namespace quendal::platform
