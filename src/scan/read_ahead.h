// Read-ahead for a scan whose files are not in the system's cache: keeps many reads in flight
// while the workers hash, so that the device, not one read per worker, sets the pace.
//
// It is a hint layer only. The jobs still query, open and read every file themselves, in the
// same steps and with the same messages; the read-ahead only asks the system to bring data
// into its cache before a job reads it. Its own failures are ignored (the job that reads the
// file meets them), and it touches only scan-list files whose content the verdict will read.
//
// Prefetch threads run ahead of the jobs in scan-list order: for each file they query the
// metadata, decide with needs_content() whether the job will read it, and if so open it, have
// the system start reading its first window, and close it again at once. Inside a file, the job
// that reads it asks for the data after the window it has just read before hashing that window.
// Warm scans pay next to nothing: the read-ahead switches itself on only when a job's read has
// had to wait for the device, and off again when the prefetch threads find the files already
// cached.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scan/path_rules.h"

namespace quendal {

struct HashJobContext;

enum class ReadAheadMode {
  off,              // never: every read waits for its own data
  when_reads_wait,  // on while jobs' reads wait for the device, off while files are cached
  always,           // on from the start (tests)
};

class ReadAhead {
 public:
  struct Limits {
    unsigned threads = 16;               // prefetch threads, started the first time it is on
    std::size_t files_ahead = 512;       // how far the prefetch runs ahead of the jobs
    std::uint64_t bytes_ahead = 0;       // data asked for by the prefetch, not yet being read
    std::uint64_t first_window = 0;      // what the prefetch asks for of one file
    std::uint64_t job_bytes_ahead = 0;   // what a job asks for beyond the window it has read
    unsigned cached_files_to_stop = 64;  // cached files in a row that switch it off
  };

  // The limits for `workers` jobs at a time, each with its own read buffer: everything in
  // flight together, buffers included, stays under 128 MiB.
  static Limits default_limits(unsigned workers);

  // `scan_list` and `context` must outlive the object and stay unchanged.
  ReadAhead(const ScanList& scan_list, const HashJobContext& context, ReadAheadMode mode,
            const Limits& limits);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // Stops the prefetch threads and waits for them: none holds a file open afterwards.
  ~ReadAhead();

  // The calls below are safe on worker threads.

  // The job for scan-list entry `index` starts: the prefetch stays ahead of it.
  void job_started(std::size_t index);
  // A job's read had to wait for the device: switches the read-ahead on.
  void note_wait();
  bool active() const { return m_active.load(std::memory_order_relaxed); }
  bool measures_waits() const { return m_mode == ReadAheadMode::when_reads_wait; }
  const Limits& limits() const { return m_limits; }

 private:
  void activate();
  void start_threads();
  void prefetch_loop();
  std::optional<std::size_t> take_next();
  void advance_frontier();
  void finish(std::size_t index, std::uint64_t bytes, platform::PrefetchResult result);

  const ScanList& m_scan_list;
  const HashJobContext& m_context;
  const ReadAheadMode m_mode;
  const Limits m_limits;

  std::atomic<bool> m_active{false};
  std::atomic<std::size_t> m_frontier{0};  // one past the highest index a job has started

  std::mutex m_mutex;              // guards everything below
  std::condition_variable m_wake;  // a prefetch thread may find work (or stop)
  bool m_stopping = false;
  bool m_threads_started = false;
  std::size_t m_cursor = 0;            // the next index to prefetch
  std::size_t m_counted_frontier = 0;  // m_frontier as last accounted for
  std::uint64_t m_bytes_ahead = 0;     // asked for at m_counted_frontier and beyond
  std::vector<std::uint64_t> m_asked;  // bytes asked for index i, at i % files_ahead
  unsigned m_cached_in_a_row = 0;
  std::vector<std::thread> m_threads;
};

// One job's reading of one file, for the scan's read-ahead (which may be null): measures each
// read to tell the read-ahead when reads wait, and while it is on asks for the data beyond the
// window just read. Used by one thread; does nothing when there is no read-ahead or it is off.
class FileReadAhead {
 public:
  FileReadAhead(ReadAhead* read_ahead, platform::InputFile& file,
                std::optional<std::uint64_t> length);

  // Reads as InputFile::read does; a read that had to wait for the device switches the
  // read-ahead on. Where the system cannot say whether it waited, a read slower than a copy from
  // the cache counts as waiting.
  Result<std::size_t> read(std::byte* buffer, std::size_t size);
  // `total`: the bytes read from the file so far, the last read included.
  void after_read(std::uint64_t total);

 private:
  ReadAhead* m_read_ahead;
  platform::InputFile& m_file;
  std::uint64_t m_length;
  std::uint64_t m_asked_until = 0;
};

}  // namespace quendal
