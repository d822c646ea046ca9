// Writes a benchmark corpus: a client directory of pseudo-random files and a manifest that lists
// every file with its size and SHA-256 digest.
//
//   quendal_make_corpus large DIR [--count N] [--mib M]   N files of M MiB (default 6 x 256)
//   quendal_make_corpus small DIR [--count N]             N files of 1 to 16 KiB (default 100000)
//   quendal_make_corpus game DIR [--count N]              a game-like client of N files (default
//                                                         3456): 3 archives of 300 to 700 MiB and
//                                                         N - 3 assets of 4 KiB to 4 MiB, ~3 GB
//   quendal_make_corpus million DIR [--count N]           N files of 0 to 256 bytes, 250 to a
//                                                         folder (default 1000000 in 4000 folders)
//   quendal_make_corpus scattered DIR [--count N]         the same files, written in a shuffled
//                                                         order: folder entries and inodes follow
//                                                         no order of the names
//
// The files go to DIR/client, the manifest to DIR/manifest.json. The content of every file
// depends only on the corpus kind and the file's index, so the same command always writes the
// same bytes, however many threads share the work. Digests are computed from the bytes as they
// are written, so the manifest describes exactly what is on disk.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "util/digest_text.h"
#include "util/result.h"

namespace quendal::bench {
namespace {

// The digest as 64 lower-case hexadecimal digits, as manifests list them.
std::string digest_hex(const platform::Sha256Digest& digest) {
  return DigestText::from_bytes(digest).text();
}

constexpr std::uint64_t k_large_seed = 0x6C61726765636F72ULL;
constexpr std::uint64_t k_small_seed = 0x736D616C6C636F72ULL;
constexpr std::size_t k_large_chunk = 8u << 20;
constexpr std::uint64_t k_small_min_size = 1024;
constexpr std::uint64_t k_small_max_size = 16 * 1024;
constexpr std::size_t k_small_files_per_directory = 100;
constexpr std::uint64_t k_game_seed = 0x67616D65636F7270ULL;
constexpr std::size_t k_game_archives = 3;
constexpr std::size_t k_game_files_per_directory = 200;
constexpr std::uint64_t k_million_seed = 0x6D696C6C696F6E73ULL;
constexpr std::uint64_t k_million_max_size = 256;
constexpr std::size_t k_million_files_per_directory = 250;

enum class CorpusKind { large, small, game, million, scattered };

struct CorpusOptions {
  CorpusKind kind = CorpusKind::small;
  std::string directory;
  std::size_t count = 0;
  std::uint64_t mib = 256;
};

struct CorpusFile {
  std::string path;  // relative to the client directory, "/"-separated
  std::uint64_t size = 0;
  std::string sha256;
};

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// xoshiro256**: fast, and good enough that the content does not compress or repeat.
class Random {
 public:
  Random(std::uint64_t seed, std::uint64_t stream) {
    std::uint64_t state = seed ^ (stream * 0xD1B54A32D192ED03ULL);
    for (std::uint64_t& word : m_state) word = splitmix64(state);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(m_state[1] * 5, 7) * 9;
    const std::uint64_t t = m_state[1] << 17;
    m_state[2] ^= m_state[0];
    m_state[3] ^= m_state[1];
    m_state[1] ^= m_state[2];
    m_state[0] ^= m_state[3];
    m_state[2] ^= t;
    m_state[3] = rotl(m_state[3], 45);
    return result;
  }

  void fill(std::byte* data, std::size_t size) {
    std::size_t offset = 0;
    for (; offset + 8 <= size; offset += 8) {
      const std::uint64_t word = next();
      std::memcpy(data + offset, &word, 8);
    }
    if (offset < size) {
      const std::uint64_t word = next();
      std::memcpy(data + offset, &word, size - offset);
    }
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

  std::uint64_t m_state[4];
};

std::string padded(std::size_t value, std::size_t width) {
  std::string text = std::to_string(value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

std::string disk_path(const std::string& client, const std::string& relative) {
  std::string path = client;
  path += '/';
  path += relative;
  return path;
}

std::string cause_text(int error) { return std::generic_category().message(error); }

// Runs `job(i)` for i in [0, count) on one thread per logical processor. Returns the failure of
// the lowest failing index, so the message does not depend on scheduling.
Result<void> run_parallel(std::size_t count, const std::function<Result<void>(std::size_t)>& job) {
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::optional<std::size_t> failed_index;
  std::string failed_message;
  const auto worker = [&] {
    for (;;) {
      const std::size_t index = next.fetch_add(1);
      if (index >= count) return;
      Result<void> done = job(index);
      if (!done.ok()) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!failed_index || index < *failed_index) {
          failed_index = index;
          failed_message = done.error();
        }
        next.store(count);
      }
    }
  };
  const std::size_t thread_count =
      std::min<std::size_t>(platform::logical_processor_count(), count);
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < thread_count; ++i) threads.emplace_back(worker);
  worker();
  for (std::thread& thread : threads) thread.join();
  if (failed_index) return fail(failed_message);
  return {};
}

Result<void> write_large_file(const std::string& client, std::size_t index, CorpusFile& file,
                              std::uint64_t seed = k_large_seed) {
  const std::string path = disk_path(client, file.path);
  std::FILE* stream = std::fopen(path.c_str(), "wb");
  if (stream == nullptr) return fail("Failed to create '" + path + "': " + cause_text(errno));
  std::setvbuf(stream, nullptr, _IONBF, 0);
  const std::unique_ptr<std::byte[]> buffer(new std::byte[k_large_chunk]);
  Random random(seed, index);
  platform::Sha256 sha256;
  std::uint64_t remaining = file.size;
  while (remaining > 0) {
    const std::size_t chunk = remaining < k_large_chunk ? remaining : k_large_chunk;
    random.fill(buffer.get(), chunk);
    sha256.update(buffer.get(), chunk);
    if (std::fwrite(buffer.get(), 1, chunk, stream) != chunk) {
      const int error = errno;
      std::fclose(stream);
      return fail("Failed to write '" + path + "': " + cause_text(error));
    }
    remaining -= chunk;
  }
  if (std::fclose(stream) != 0) return fail("Failed to write '" + path + "': " + cause_text(errno));
  file.sha256 = digest_hex(sha256.finish());
  return {};
}

Result<std::vector<CorpusFile>> generate_large(const std::string& client,
                                               const CorpusOptions& options) {
  const std::string directory = disk_path(client, "data/archives");
  Result<void> made = platform::create_directories(directory);
  if (!made.ok()) return fail("Failed to create '" + directory + "': " + made.error());
  std::vector<CorpusFile> files(options.count);
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].path = "data/archives/content_" + padded(i, 2) + ".pak";
    files[i].size = options.mib << 20;
  }
  Result<void> written = run_parallel(
      files.size(), [&](std::size_t i) { return write_large_file(client, i, files[i]); });
  if (!written.ok()) return written.failure();
  return files;
}

Result<std::vector<CorpusFile>> generate_small(const std::string& client,
                                               const CorpusOptions& options) {
  const std::size_t directories =
      (options.count + k_small_files_per_directory - 1) / k_small_files_per_directory;
  std::vector<std::string> directory_names(directories);
  for (std::size_t d = 0; d < directories; ++d) {
    directory_names[d] = "data/d" + padded(d, 3);
    const std::string path = disk_path(client, directory_names[d]);
    Result<void> made = platform::create_directories(path);
    if (!made.ok()) return fail("Failed to create '" + path + "': " + made.error());
  }
  std::vector<CorpusFile> files(options.count);
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].path = directory_names[i / k_small_files_per_directory] + "/f" + padded(i, 5) + ".bin";
  }
  const auto write_one = [&](std::size_t i) -> Result<void> {
    thread_local std::unique_ptr<std::byte[]> buffer(new std::byte[k_small_max_size]);
    thread_local platform::Sha256 sha256;
    CorpusFile& file = files[i];
    Random random(k_small_seed, i);
    file.size = k_small_min_size + random.next() % (k_small_max_size - k_small_min_size + 1);
    const std::size_t size = file.size;
    random.fill(buffer.get(), size);
    sha256.update(buffer.get(), size);
    file.sha256 = digest_hex(sha256.finish());
    const std::string path = disk_path(client, file.path);
    Result<void> written = platform::write_file(
        path, std::string_view(reinterpret_cast<const char*>(buffer.get()), size));
    if (!written.ok()) return fail("Failed to write '" + path + "': " + written.error());
    return {};
  };
  Result<void> written = run_parallel(files.size(), write_one);
  if (!written.ok()) return written.failure();
  return files;
}

// A game client's shape: a few big archives among a few thousand assets whose sizes spread
// from 4 KiB to 4 MiB, most of them small. The archives sit at even intervals in the list, as
// they would in a manifest sorted by path.
Result<std::vector<CorpusFile>> generate_game(const std::string& client,
                                              const CorpusOptions& options) {
  std::vector<CorpusFile> files(options.count);
  const std::size_t archives = std::min(k_game_archives, files.size());
  Random sizes(k_game_seed, 0);
  std::size_t asset = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const bool is_archive = archives > 0 && i % (files.size() / archives) == 0 &&
                            i / (files.size() / archives) < archives;
    if (is_archive) {
      files[i].path = "data/archives/pack_" + padded(i / (files.size() / archives), 2) + ".pak";
      files[i].size = (300 + sizes.next() % 401) << 20;
    } else {
      files[i].path = "data/assets/a" + padded(asset / k_game_files_per_directory, 3) + "/asset_" +
                      padded(asset, 5) + ".bin";
      // 4 KiB * 1024^(u^1.4): log-spread up to 4 MiB, weighted towards small assets.
      const double u = static_cast<double>(sizes.next() >> 11) / 9007199254740992.0;
      files[i].size = static_cast<std::uint64_t>(4096.0 * std::pow(1024.0, std::pow(u, 1.4)));
      files[i].size = std::clamp<std::uint64_t>(files[i].size, 4096, 4u << 20);
      ++asset;
    }
  }
  for (const CorpusFile& file : files) {
    const std::string directory = disk_path(client, file.path.substr(0, file.path.rfind('/')));
    Result<void> made = platform::create_directories(directory);
    if (!made.ok()) return fail("Failed to create '" + directory + "': " + made.error());
  }
  // The archives first, one thread each, then the assets: the order the work is handed out in
  // keeps both threads busy to the end.
  std::vector<std::size_t> order(files.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_partition(order.begin(), order.end(),
                        [&](std::size_t i) { return files[i].size > (4u << 20); });
  Result<void> written = run_parallel(files.size(), [&](std::size_t n) {
    return write_large_file(client, order[n], files[order[n]], k_game_seed);
  });
  if (!written.ok()) return written.failure();
  return files;
}

// A client of a million tiny files: the case where the cost per file, not per byte, decides.
// Each file is written with one open, write and close, its digest taken from the same buffer.
Result<std::vector<CorpusFile>> generate_million(const std::string& client,
                                                 const CorpusOptions& options) {
  const std::size_t directories =
      (options.count + k_million_files_per_directory - 1) / k_million_files_per_directory;
  std::vector<std::string> directory_names(directories);
  for (std::size_t d = 0; d < directories; ++d) {
    directory_names[d] = "data/d" + padded(d, 4);
    const std::string path = disk_path(client, directory_names[d]);
    Result<void> made = platform::create_directories(path);
    if (!made.ok()) return fail("Failed to create '" + path + "': " + made.error());
  }
  std::vector<CorpusFile> files(options.count);
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].path =
        directory_names[i / k_million_files_per_directory] + "/f" + padded(i, 6) + ".bin";
  }
  const auto write_one = [&](std::size_t i) -> Result<void> {
    thread_local platform::Sha256 sha256;
    std::byte buffer[k_million_max_size];
    CorpusFile& file = files[i];
    Random random(k_million_seed, i);
    file.size = random.next() % (k_million_max_size + 1);
    const std::size_t size = file.size;
    random.fill(buffer, size);
    sha256.update(buffer, size);
    file.sha256 = digest_hex(sha256.finish());
    const std::string path = disk_path(client, file.path);
    Result<void> written =
        platform::write_file(path, std::string_view(reinterpret_cast<const char*>(buffer), size));
    if (!written.ok()) return fail("Failed to write '" + path + "': " + written.error());
    return {};
  };
  // A scattered client gets the same files in a pseudo-random order, as a tree that grew over
  // many patches or was copied by a tool that walks in its own order would have them.
  std::vector<std::size_t> order(files.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (options.kind == CorpusKind::scattered) {
    Random shuffle(k_million_seed, files.size());
    for (std::size_t i = order.size(); i > 1; --i) {
      std::swap(order[i - 1], order[shuffle.next() % i]);
    }
  }
  Result<void> written =
      run_parallel(files.size(), [&](std::size_t n) { return write_one(order[n]); });
  if (!written.ok()) return written.failure();
  return files;
}

// Mostly required files, with a sprinkling of critical and optional ones, fixed by index.
std::string_view policy_for(std::size_t index) {
  if (index % 16 == 3) return "critical";
  if (index % 16 == 9) return "optional";
  return "required";
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  out += text;
  out += '"';
}

std::string manifest_text(const std::vector<CorpusFile>& files, CorpusKind kind) {
  std::string out;
  out.reserve(files.size() * 300 + 1024);
  // The signature is never verified; a digest over the listed digests keeps it deterministic.
  platform::Sha256 listing;
  for (const CorpusFile& file : files) {
    listing.update(reinterpret_cast<const std::byte*>(file.sha256.data()), file.sha256.size());
  }
  out += "{\n";
  out += "  \"schemaVersion\": \"velor-tirn-update-manifest.v1\",\n";
  out += "  \"channel\": \"live\",\n";
  out += "  \"releaseVersion\": \"";
  out += kind == CorpusKind::large     ? "2024.05.14-large"
         : kind == CorpusKind::small   ? "2024.05.14-small"
         : kind == CorpusKind::game    ? "2024.05.14-game"
         : kind == CorpusKind::million ? "2024.05.14-million"
                                       : "2024.05.14-scattered";
  out += "\",\n";
  out += "  \"publishedAt\": \"2024-05-14T09:30:00Z\",\n";
  out += "  \"minimumLauncherVersion\": \"3.2.0\",\n";
  out += "  \"hashAlgorithm\": \"sha256\",\n";
  out += "  \"downloadBaseUrl\": \"https://cdn.example.invalid/client/live/\",\n";
  out += "  \"releaseNotes\": [\n";
  out += "    \"Benchmark corpus generated by quendal_make_corpus.\"\n";
  out += "  ],\n";
  out += "  \"excludedPaths\": [],\n";
  out += "  \"repairIfMissingPaths\": [],\n";
  out += "  \"files\": [\n";
  for (std::size_t i = 0; i < files.size(); ++i) {
    const CorpusFile& file = files[i];
    out += "    {\n      \"path\": ";
    append_quoted(out, file.path);
    out += ",\n      \"size\": ";
    out += std::to_string(file.size);
    out += ",\n      \"sha256\": ";
    append_quoted(out, file.sha256);
    out += ",\n      \"blobPath\": \"blobs/";
    out += std::string_view(file.sha256).substr(0, 2);
    out += '/';
    out += std::string_view(file.sha256).substr(2, 2);
    out += '/';
    out += file.sha256;
    out += "\",\n      \"policy\": ";
    append_quoted(out, policy_for(i));
    out += i + 1 < files.size() ? "\n    },\n" : "\n    }\n";
  }
  out += "  ],\n";
  out += "  \"signature\": {\n";
  out += "    \"algorithm\": \"ed25519\",\n";
  out += "    \"keyId\": \"bench-release-2024\",\n";
  out += "    \"signature\": ";
  append_quoted(out, digest_hex(listing.finish()));
  out += "\n  }\n}\n";
  return out;
}

constexpr std::string_view k_usage =
    "Usage: quendal_make_corpus large DIR [--count N] [--mib M]\n"
    "       quendal_make_corpus small DIR [--count N]\n"
    "       quendal_make_corpus game DIR [--count N]\n"
    "       quendal_make_corpus million DIR [--count N]\n"
    "       quendal_make_corpus scattered DIR [--count N]\n"
    "\n"
    "Writes DIR/client and DIR/manifest.json. Defaults: large 6 files of 256 MiB,\n"
    "small 100000 files of 1 to 16 KiB, game 3456 files (3 archives of 300 to 700 MiB and\n"
    "assets of 4 KiB to 4 MiB), million 1000000 files of 0 to 256 bytes in 4000 folders,\n"
    "scattered the same files written in a shuffled order.\n";

std::optional<std::uint64_t> parse_count(std::string_view text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::optional<CorpusOptions> parse_options(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return std::nullopt;
  CorpusOptions options;
  if (arguments[0] == "large") {
    options.kind = CorpusKind::large;
    options.count = 6;
  } else if (arguments[0] == "small") {
    options.kind = CorpusKind::small;
    options.count = 100000;
  } else if (arguments[0] == "game") {
    options.kind = CorpusKind::game;
    options.count = 3456;
  } else if (arguments[0] == "million" || arguments[0] == "scattered") {
    options.kind = arguments[0] == "million" ? CorpusKind::million : CorpusKind::scattered;
    options.count = 1000000;
  } else {
    return std::nullopt;
  }
  options.directory = arguments[1];
  if (options.directory.empty()) return std::nullopt;
  for (std::size_t i = 2; i < arguments.size(); i += 2) {
    if (i + 1 >= arguments.size()) return std::nullopt;
    const std::optional<std::uint64_t> value = parse_count(arguments[i + 1]);
    if (!value) return std::nullopt;
    if (arguments[i] == "--count") {
      options.count = *value;
    } else if (arguments[i] == "--mib" && options.kind == CorpusKind::large) {
      options.mib = *value;
    } else {
      return std::nullopt;
    }
  }
  // Small and game file names carry five digits, million and scattered ones six; large ones two.
  if ((options.kind == CorpusKind::million || options.kind == CorpusKind::scattered) &&
      options.count > 1000000) {
    return std::nullopt;
  }
  if ((options.kind == CorpusKind::small || options.kind == CorpusKind::game) &&
      options.count > 100000) {
    return std::nullopt;
  }
  if (options.kind == CorpusKind::large && (options.count > 100 || options.mib > (1u << 20))) {
    return std::nullopt;
  }
  return options;
}

int corpus_main(const std::vector<std::string>& arguments) {
  const std::optional<CorpusOptions> options = parse_options(arguments);
  if (!options) {
    std::cerr << k_usage;
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  const std::string client = disk_path(options->directory, "client");
  Result<void> made = platform::create_directories(client);
  if (!made.ok()) {
    std::cerr << "Failed to create '" << client << "': " << made.error() << '\n';
    return 1;
  }
  Result<std::vector<CorpusFile>> files =
      options->kind == CorpusKind::large   ? generate_large(client, *options)
      : options->kind == CorpusKind::small ? generate_small(client, *options)
      : options->kind == CorpusKind::game  ? generate_game(client, *options)
                                           : generate_million(client, *options);
  if (!files.ok()) {
    std::cerr << files.error() << '\n';
    return 1;
  }
  const std::string manifest = manifest_text(*files, options->kind);
  const std::string manifest_path = disk_path(options->directory, "manifest.json");
  Result<void> written = platform::write_file(manifest_path, manifest);
  if (!written.ok()) {
    std::cerr << "Failed to write '" << manifest_path << "': " << written.error() << '\n';
    return 1;
  }
  std::uint64_t total = 0;
  for (const CorpusFile& file : *files) total += file.size;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  std::cout << "quendal_make_corpus: " << files->size() << " files, " << total << " bytes in '"
            << client << "', manifest " << manifest.size() << " bytes, "
            << static_cast<long long>(elapsed.count() * 1000.0) << " ms\n";
  return 0;
}

}  // namespace
}  // namespace quendal::bench

int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  try {
    return quendal::bench::corpus_main(arguments);
  } catch (const std::exception& error) {
    std::cerr << "quendal_make_corpus: " << error.what() << '\n';
    return 1;
  }
}
