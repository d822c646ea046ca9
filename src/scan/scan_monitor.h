// The progress of one scan run and the way to stop it: the counters that the hashing jobs
// update, the observer that the run's thread reports them to, and the cancel flag.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/result.h"

namespace quendal {

// The steps of a run that a progress display can name, in the order they run. A run without a
// cache path has no loading_cache and no storing_cache phase.
enum class ScanPhase { reading_manifest, loading_cache, checking_files, storing_cache, encoding };

// The counters of a run at one moment. Every counter only grows during a run.
//   files_done / files_total: scan-list entries checked (a missing file, a size mismatch and a
//     digest taken from the cache count as soon as they are decided), of the whole scan list;
//     both are 0 until the checking phase begins.
//   bytes_hashed / bytes_to_hash: bytes read through SHA-256, of the sizes of the files whose
//     content must be read. A file's size joins bytes_to_hash when its job finds that it must be
//     read, so bytes_to_hash grows while files are checked and is final only when the checking
//     phase ends; bytes_hashed never passes it.
struct ScanProgress {
  ScanPhase phase = ScanPhase::reading_manifest;
  std::uint64_t files_done = 0;
  std::uint64_t files_total = 0;
  std::uint64_t bytes_hashed = 0;
  std::uint64_t bytes_to_hash = 0;
};

// What the caller of a run is told. Every call comes from the run's thread, one at a time, and
// must not throw.
class RunObserver {
 public:
  virtual ~RunObserver() = default;

  // Every phase as it begins, unthrottled, before the progress call of that phase.
  virtual void phase_started(ScanPhase phase) = 0;

  // The counters: when a phase begins and while files are checked, at most once per
  // ScanMonitor::k_report_interval, and always once when a phase ends, with its final counters.
  // Returning false asks the run to stop (see ScanMonitor::request_cancel).
  virtual bool progress(const ScanProgress& progress) = 0;

  // A warning for standard error, with its final line feed, when it arises (a cache that cannot
  // be used is reported before any file is checked).
  virtual void warning(std::string_view text) = 0;
};

// The failure message of a cancelled run, and the failure itself.
inline constexpr std::string_view k_scan_cancelled = "Scan cancelled.";
inline Failure scan_cancelled() {
  return Failure{std::string(k_scan_cancelled), FailureKind::cancelled};
}

// The run's side of progress and cancel. The run's thread calls begin_phase, end_phase, tick and
// warning; the hashing jobs update the counters from the worker threads; request_cancel may be
// called from any thread at any time, also before the run starts. The observer (which may be
// null) must outlive the monitor.
class ScanMonitor {
 public:
  static constexpr std::chrono::milliseconds k_report_interval{50};

  explicit ScanMonitor(RunObserver* observer = nullptr) : m_observer(observer) {}
  ScanMonitor(const ScanMonitor&) = delete;
  ScanMonitor& operator=(const ScanMonitor&) = delete;

  // ---- Any thread ----

  // Asks the run to stop. The run checks the flag before each hashing job starts, after each
  // read window of a file being hashed, and at the phase boundaries up to the end of the
  // checking phase; it then ends with the failure k_scan_cancelled. From the end of the
  // checking phase on the run no longer looks at it and completes.
  void request_cancel() { m_cancel.store(true); }
  bool cancel_requested() const { return m_cancel.load(std::memory_order_relaxed); }

  // ---- The hashing jobs ----

  // Each thread counts into a slot of its own, so that the workers do not fight over one
  // cache line for every file; snapshot() sums the slots.
  void file_done() { slot().files_done.fetch_add(1, std::memory_order_relaxed); }
  void add_bytes_to_hash(std::uint64_t bytes) {
    slot().bytes_to_hash.fetch_add(bytes, std::memory_order_release);
  }
  void add_bytes_hashed(std::uint64_t bytes) {
    slot().bytes_hashed.fetch_add(bytes, std::memory_order_release);
  }

  // ---- The run's thread ----

  // Enters `phase`; `files_total` is the scan list's length when the checking phase begins.
  void begin_phase(ScanPhase phase, std::uint64_t files_total = 0);
  // Reports the phase's final counters. Returns false when the run has been asked to stop.
  bool end_phase();
  // Reports the counters when k_report_interval has passed since the last report.
  void tick();
  void warning(std::string_view text);

  ScanProgress snapshot() const;

 private:
  void report();

  struct alignas(64) Counters {
    std::atomic<std::uint64_t> files_done{0};
    std::atomic<std::uint64_t> bytes_to_hash{0};
    std::atomic<std::uint64_t> bytes_hashed{0};
  };
  static constexpr std::size_t k_slots = 16;
  Counters& slot() { return m_slots[thread_slot() % k_slots]; }
  static std::size_t thread_slot();

  RunObserver* m_observer;
  std::atomic<bool> m_cancel{false};
  Counters m_slots[k_slots];
  ScanPhase m_phase = ScanPhase::reading_manifest;
  std::uint64_t m_files_total = 0;
  bool m_reported = false;
  std::chrono::steady_clock::time_point m_last_report;
};

// One file's share of the byte counters, for the job that reads its content: the length from its
// metadata joins bytes_to_hash at construction, every read window joins bytes_hashed (never more
// than the length in all), and what the reads did not cover (a file that shrank, or whose read
// failed or was cancelled) joins bytes_hashed at destruction, so that bytes_hashed ends at
// bytes_to_hash. A null monitor makes every call do nothing. Used by one thread.
class FileHashProgress {
 public:
  FileHashProgress(ScanMonitor* monitor, std::uint64_t length);
  ~FileHashProgress();
  FileHashProgress(const FileHashProgress&) = delete;
  FileHashProgress& operator=(const FileHashProgress&) = delete;

  void bytes_read(std::uint64_t bytes);
  bool cancel_requested() const { return m_monitor != nullptr && m_monitor->cancel_requested(); }

 private:
  ScanMonitor* m_monitor;
  std::uint64_t m_length;
  std::uint64_t m_credited = 0;
};

}  // namespace quendal
