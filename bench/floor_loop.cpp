// The least a full scan of many files can do: per file one stat, open, read, SHA-256 and close,
// on a fixed number of threads that take the files in small batches from one shared index, and
// nothing else (no manifest, no report). bench/run times quendal against it.
//
//   quendal_floor_loop DIR LIST [--threads N] [--digests] [--stat-only] [--check-identity]
//
// LIST holds the paths of the files relative to DIR, each ended by a NUL byte (the form that
// `xargs -0` reads). With --digests the digests are written to standard output in list order,
// one lower-case hexadecimal line per file, once every file is done; otherwise a run prints
// nothing. --stat-only does the stat of every file and nothing more, the floor of a rescan that
// finds every digest in its cache. --check-identity adds the one query that a scan which
// publishes digests cannot skip: the metadata of the open file, compared with the stat's (the
// same file, the same length), so that a file swapped between the two is never reported under
// the other's metadata. The default is 2 threads.
//
// The system calls are made directly, not through the platform layer: this loop is the
// reference that the tool's own way through that layer is measured against. A file that cannot
// be read, or whose length differs from what stat said, ends the run with exit status 1.

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quendal::bench {
namespace {

constexpr std::size_t k_batch = 32;
constexpr std::size_t k_buffer_size = 1u << 20;

using Digest = std::array<unsigned char, 32>;

struct LoopOptions {
  std::string directory;
  std::string list;
  unsigned threads = 2;
  bool digests = false;
  bool stat_only = false;
  bool check_identity = false;
};

constexpr std::string_view k_usage =
    "Usage: quendal_floor_loop DIR LIST [--threads N] [--digests] [--stat-only]\n"
    "                          [--check-identity]\n"
    "\n"
    "Stats, opens, reads, hashes (SHA-256) and closes every file that LIST (paths relative to\n"
    "DIR, each ended by a NUL byte) names, on N threads (default 2). --digests writes the\n"
    "digests in list order; --stat-only only stats the files; --check-identity also queries\n"
    "the metadata of each open file and compares it with the stat's.\n";

std::optional<LoopOptions> parse_options(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return std::nullopt;
  LoopOptions options;
  options.directory = arguments[0];
  options.list = arguments[1];
  for (std::size_t i = 2; i < arguments.size(); ++i) {
    if (arguments[i] == "--digests") {
      options.digests = true;
    } else if (arguments[i] == "--stat-only") {
      options.stat_only = true;
    } else if (arguments[i] == "--check-identity") {
      options.check_identity = true;
    } else if (arguments[i] == "--threads" && i + 1 < arguments.size()) {
      const std::string& text = arguments[++i];
      if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos) {
        return std::nullopt;
      }
      options.threads = static_cast<unsigned>(std::stoul(text));
      if (options.threads == 0) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (options.digests && options.stat_only) return std::nullopt;
  return options;
}

std::string cause_text(int error) { return std::strerror(error); }

// The whole content of the list file, or a failure message.
std::optional<std::string> read_whole(const std::string& path, std::string& failure) {
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  if (stream == nullptr) {
    failure = "Failed to open '" + path + "': " + cause_text(errno);
    return std::nullopt;
  }
  std::string text;
  char chunk[1 << 16];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, stream);
    text.append(chunk, got);
    if (got < sizeof chunk) break;
  }
  const bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed) {
    failure = "Failed to read '" + path + "': read error";
    return std::nullopt;
  }
  return text;
}

// One worker's state: its own digest context and read buffer.
class Worker {
 public:
  Worker(const EVP_MD* algorithm, bool check_identity)
      : m_algorithm(algorithm),
        m_check_identity(check_identity),
        m_context(EVP_MD_CTX_new()),
        m_buffer(new unsigned char[k_buffer_size]) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker() { EVP_MD_CTX_free(m_context); }

  // Stats, reads and hashes `path`; returns a failure message, empty on success.
  std::string hash(const std::string& path, Digest& digest) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
      return "Failed to stat '" + path + "': " + cause_text(errno);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "Failed to open '" + path + "': " + cause_text(errno);
    if (m_check_identity) {
      struct stat opened;
      if (::fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino ||
          opened.st_size != st.st_size) {
        ::close(fd);
        return "File '" + path + "' changed between its stat and its open";
      }
    }
    EVP_DigestInit_ex2(m_context, m_algorithm, nullptr);
    std::uint64_t total = 0;
    for (;;) {
      const ssize_t got = ::read(fd, m_buffer.get(), k_buffer_size);
      if (got < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::close(fd);
        return "Failed to read '" + path + "': " + cause_text(error);
      }
      EVP_DigestUpdate(m_context, m_buffer.get(), static_cast<std::size_t>(got));
      total += static_cast<std::uint64_t>(got);
      // A regular file's read comes back short only at its end.
      if (static_cast<std::size_t>(got) < k_buffer_size) break;
    }
    ::close(fd);
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context, digest.data(), &length);
    if (total != static_cast<std::uint64_t>(st.st_size)) {
      return "File '" + path + "' changed while it was read";
    }
    return {};
  }

  static std::string stat_only(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
      return "Failed to stat '" + path + "': " + cause_text(errno);
    return {};
  }

 private:
  const EVP_MD* m_algorithm;
  bool m_check_identity;
  EVP_MD_CTX* m_context;
  std::unique_ptr<unsigned char[]> m_buffer;
};

int loop_main(const std::vector<std::string>& arguments) {
  const std::optional<LoopOptions> options = parse_options(arguments);
  if (!options) {
    std::cerr << k_usage;
    return 2;
  }
  std::string failure;
  const std::optional<std::string> list = read_whole(options->list, failure);
  if (!list) {
    std::cerr << failure << '\n';
    return 1;
  }
  std::vector<std::string> paths;
  for (std::size_t start = 0; start < list->size();) {
    const std::size_t end = list->find('\0', start);
    if (end == std::string::npos) {
      std::cerr << "The list '" << options->list << "' does not end with a NUL byte\n";
      return 1;
    }
    paths.push_back(options->directory + '/' + list->substr(start, end - start));
    start = end + 1;
  }

  EVP_MD* algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (algorithm == nullptr) {
    std::cerr << "SHA-256 is not available\n";
    return 1;
  }
  std::vector<Digest> digests(options->digests ? paths.size() : 0);
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  const auto work = [&] {
    Worker worker(algorithm, options->check_identity);
    Digest digest;
    for (;;) {
      const std::size_t first = next.fetch_add(k_batch, std::memory_order_relaxed);
      if (first >= paths.size()) return;
      const std::size_t last = std::min(first + k_batch, paths.size());
      for (std::size_t i = first; i < last; ++i) {
        std::string failed =
            options->stat_only ? Worker::stat_only(paths[i]) : worker.hash(paths[i], digest);
        if (!failed.empty()) {
          const std::lock_guard<std::mutex> lock(mutex);
          if (failure.empty()) failure = std::move(failed);
          next.store(paths.size());
          return;
        }
        if (options->digests) digests[i] = digest;
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < options->threads; ++i) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  EVP_MD_free(algorithm);
  if (!failure.empty()) {
    std::cerr << failure << '\n';
    return 1;
  }

  if (options->digests) {
    static constexpr char k_hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(digests.size() * 65);
    for (const Digest& digest : digests) {
      for (const unsigned char byte : digest) {
        out += k_hex[byte >> 4];
        out += k_hex[byte & 15];
      }
      out += '\n';
    }
    std::cout.write(out.data(), static_cast<std::streamsize>(out.size()));
    std::cout.flush();
    if (!std::cout) {
      std::cerr << "Failed to write the digests to standard output\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace
}  // namespace quendal::bench

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  try {
    return quendal::bench::loop_main(arguments);
  } catch (const std::exception& error) {
    std::cerr << "quendal_floor_loop: " << error.what() << '\n';
    return 1;
  }
}
