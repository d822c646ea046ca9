#include "scan/read_ahead.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "scan/file_hashing.h"
#include "scan/hash_client_file.h"

namespace quendal {
namespace {

constexpr std::uint64_t k_mib = 1024 * 1024;

// Everything in flight at once, the workers' read buffers included.
constexpr std::uint64_t k_memory_in_flight = 120 * k_mib;
constexpr std::uint64_t k_floor_in_flight = 16 * k_mib;

// A read from the system's cache copies at several GB/s; one that takes longer than this for its
// size has waited for the device (or the thread lost its processor, which only costs a look).
bool read_waited(std::chrono::steady_clock::duration elapsed, std::uint64_t bytes) {
  const auto allowed = std::chrono::microseconds(50) + std::chrono::nanoseconds(bytes / 2);
  return elapsed > allowed;
}

}  // namespace

ReadAhead::Limits ReadAhead::default_limits(unsigned workers) {
  Limits limits;
  const std::uint64_t buffers = std::uint64_t{workers} * k_read_buffer_size;
  // Past 14 workers the buffers alone fill the budget; the read-ahead then keeps a floor of its
  // own, or it could do nothing for the machines with the most to read.
  const std::uint64_t room =
      std::max(k_floor_in_flight, buffers < k_memory_in_flight ? k_memory_in_flight - buffers : 0);
  // Half for the files ahead of the jobs, half for the jobs' own files: up to two windows each.
  limits.first_window = k_read_buffer_size;
  limits.bytes_ahead = room / 2;
  limits.job_bytes_ahead =
      std::min<std::uint64_t>(2 * k_read_buffer_size, room / 2 / std::max(workers, 1u));
  return limits;
}

ReadAhead::ReadAhead(const ScanList& scan_list, const HashJobContext& context, ReadAheadMode mode,
                     const Limits& limits)
    : m_scan_list(scan_list), m_context(context), m_mode(mode), m_limits(limits) {
  if (m_mode == ReadAheadMode::always) activate();
}

ReadAhead::~ReadAhead() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (std::thread& thread : m_threads) thread.join();
}

void ReadAhead::job_started(std::size_t index) {
  // While the read-ahead is off, the frontier is only where it would start: every 64th job
  // keeps it close enough, without every job writing the line the other workers read.
  if (!active() && index % 64 != 0) return;
  std::size_t frontier = m_frontier.load(std::memory_order_relaxed);
  while (frontier <= index && !m_frontier.compare_exchange_weak(frontier, index + 1)) {
  }
  if (active()) {
    // Passing through the mutex orders the new frontier before a prefetch thread's look at it,
    // so the notification cannot fall between its look and its wait.
    { const std::lock_guard<std::mutex> lock(m_mutex); }
    m_wake.notify_one();
  }
}

void ReadAhead::note_wait() {
  if (m_mode != ReadAheadMode::when_reads_wait || active()) return;
  activate();
}

void ReadAhead::activate() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    // Once every job has started there is nothing left to read ahead: a small scan whose last
    // read waited starts no threads.
    if (m_stopping || m_limits.threads == 0 || m_limits.files_ahead == 0 ||
        m_limits.bytes_ahead == 0 || m_frontier.load() >= m_scan_list.size()) {
      return;
    }
    m_cached_in_a_row = 0;
    m_active.store(true);
    if (!m_threads_started) start_threads();
  }
  m_wake.notify_all();
}

// Called with m_mutex held, once.
void ReadAhead::start_threads() {
  m_threads_started = true;
  // Fewer threads than asked for (or none) only means fewer reads in flight; without the
  // table of asked bytes no thread starts. Whether a job gets here depends on how long its
  // reads took, so its allocations are hints too.
  const platform::HintScope hints;
  try {
    m_asked.assign(m_limits.files_ahead, 0);
    const std::size_t left = m_scan_list.size() - m_frontier.load();
    for (std::size_t i = 0; i < std::min<std::size_t>(m_limits.threads, left); ++i)
      m_threads.emplace_back([this] { prefetch_loop(); });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
}

// Called with m_mutex held: releases the data asked for files whose jobs have started.
void ReadAhead::advance_frontier() {
  const std::size_t frontier = m_frontier.load();
  if (frontier <= m_counted_frontier) return;
  if (frontier - m_counted_frontier >= m_asked.size()) {
    std::fill(m_asked.begin(), m_asked.end(), 0);
    m_bytes_ahead = 0;
  } else {
    for (std::size_t i = m_counted_frontier; i < frontier; ++i) {
      m_bytes_ahead -= m_asked[i % m_asked.size()];
      m_asked[i % m_asked.size()] = 0;
    }
  }
  m_counted_frontier = frontier;
}

std::optional<std::size_t> ReadAhead::take_next() {
  std::unique_lock<std::mutex> lock(m_mutex);
  const auto has_room = [&] {
    return m_cursor - m_counted_frontier < m_limits.files_ahead &&
           m_bytes_ahead < m_limits.bytes_ahead;
  };
  for (;;) {
    if (m_stopping) return std::nullopt;
    if (m_active.load()) {
      advance_frontier();
      m_cursor = std::max(m_cursor, m_counted_frontier);
      if (m_cursor >= m_scan_list.size()) return std::nullopt;
      if (has_room()) {
        const std::size_t index = m_cursor++;
        // One started job wakes one thread; if there is room for more, pass the word on.
        if (m_cursor < m_scan_list.size() && has_room()) m_wake.notify_one();
        return index;
      }
    }
    m_wake.wait(lock);
  }
}

void ReadAhead::finish(std::size_t index, std::uint64_t bytes, platform::PrefetchResult result) {
  const std::lock_guard<std::mutex> lock(m_mutex);
  advance_frontier();
  if (index >= m_counted_frontier && bytes > 0) {
    m_asked[index % m_asked.size()] = bytes;
    m_bytes_ahead += bytes;
  }
  if (result == platform::PrefetchResult::started) {
    m_cached_in_a_row = 0;
  } else if (result == platform::PrefetchResult::cached &&
             ++m_cached_in_a_row >= m_limits.cached_files_to_stop &&
             m_mode == ReadAheadMode::when_reads_wait) {
    m_active.store(false);  // the files are in the cache: the jobs' own reads will do
  }
}

void ReadAhead::prefetch_loop() {
  const platform::HintScope hints;
  for (std::optional<std::size_t> index = take_next(); index; index = take_next()) {
    std::uint64_t bytes = 0;
    platform::PrefetchResult result = platform::PrefetchResult::failed;
    try {
      const UpdateManifestFile& file = *m_scan_list[*index];
      const std::string disk_path = resolve_client_file(m_context.client_root, file.path);
      Result<std::optional<platform::FileMetadata>> metadata = platform::file_metadata(disk_path);
      if (metadata.ok() && metadata->has_value() && (*metadata)->length > 0 &&
          needs_content(file, m_context, **metadata)) {
        bytes = std::min((*metadata)->length, m_limits.first_window);
        result = platform::prefetch_file(disk_path, bytes);
        if (result == platform::PrefetchResult::failed) bytes = 0;
      }
    } catch (const std::exception&) {
      bytes = 0;  // out of memory for a path: this file goes without read-ahead
    }
    finish(*index, bytes, result);
  }
}

FileReadAhead::FileReadAhead(ReadAhead* read_ahead, platform::InputFile& file,
                             std::optional<std::uint64_t> length)
    : m_read_ahead(read_ahead), m_file(file), m_length(length.value_or(0)) {}

Result<std::size_t> FileReadAhead::read(std::byte* buffer, std::size_t size) {
  if (m_read_ahead == nullptr || !m_read_ahead->measures_waits() || m_read_ahead->active()) {
    return m_file.read(buffer, size);
  }
  using ReadSource = platform::InputFile::ReadSource;
  ReadSource source = ReadSource::unknown;
  const auto started = std::chrono::steady_clock::now();
  Result<std::size_t> n = m_file.read(buffer, size, &source);
  if (n.ok() && (source == ReadSource::device ||
                 (source == ReadSource::unknown &&
                  read_waited(std::chrono::steady_clock::now() - started, *n)))) {
    m_read_ahead->note_wait();
  }
  return n;
}

void FileReadAhead::after_read(std::uint64_t total) {
  if (m_read_ahead == nullptr || !m_read_ahead->active() || total >= m_length) return;
  const std::uint64_t until = std::min(m_length, total + m_read_ahead->limits().job_bytes_ahead);
  const std::uint64_t from = std::max(m_asked_until, total);
  if (until > from) {
    m_file.hint_will_need(from, until - from);
    m_asked_until = until;
  }
}

}  // namespace quendal
