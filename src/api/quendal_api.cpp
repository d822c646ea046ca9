// The C interface of include/quendal/quendal.h: a scan handle around the program's own scan run,
// with the report kept in memory. Every entry point catches whatever the run throws, so no C++
// exception ever reaches a caller.
#include "quendal/quendal.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "run/report_destination.h"
#include "run/scan_options.h"
#include "run/scan_run.h"
#include "scan/scan_monitor.h"
#include "util/out_of_memory.h"
#include "util/text.h"

#ifndef QUENDAL_VERSION_TEXT
#error "QUENDAL_VERSION_TEXT must be defined by the build"
#endif
// The header's version is the project's.
static_assert(std::string_view(QUENDAL_VERSION) == QUENDAL_VERSION_TEXT,
              "QUENDAL_VERSION in quendal.h differs from the project's version");

namespace quendal {
namespace {

// The observer that turns the run's progress into the caller's callback.
class CallbackObserver final : public RunObserver {
 public:
  CallbackObserver(quendal_progress_callback callback, void* user_data)
      : m_callback(callback), m_user_data(user_data) {}

  void phase_started(ScanPhase) override {}

  bool progress(const ScanProgress& progress) override {
    if (m_detached.load(std::memory_order_acquire)) return false;
    if (m_callback == nullptr) return true;
    quendal_progress reported{};
    reported.phase = static_cast<int32_t>(progress.phase);
    reported.files_done = progress.files_done;
    reported.files_total = progress.files_total;
    reported.bytes_hashed = progress.bytes_hashed;
    reported.bytes_to_hash = progress.bytes_to_hash;
    return m_callback(&reported, m_user_data) == 0;
  }

  void warning(std::string_view text) override {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    try {
      m_warning = text;
    } catch (const std::bad_alloc&) {
      m_warning.clear();  // a warning that cannot be kept is lost; the run goes on
    }
  }

  const std::string& warning_text() const { return m_warning; }

  // No callback begins after this: the caller has given the scan up, and what `user_data`
  // points to may be gone.
  void detach() { m_detached.store(true, std::memory_order_release); }

 private:
  quendal_progress_callback m_callback;
  void* m_user_data;
  std::atomic<bool> m_detached{false};
  std::string m_warning;
};

static_assert(static_cast<int32_t>(ScanPhase::reading_manifest) == QUENDAL_PHASE_READING_MANIFEST);
static_assert(static_cast<int32_t>(ScanPhase::loading_cache) == QUENDAL_PHASE_LOADING_CACHE);
static_assert(static_cast<int32_t>(ScanPhase::checking_files) == QUENDAL_PHASE_CHECKING_FILES);
static_assert(static_cast<int32_t>(ScanPhase::storing_cache) == QUENDAL_PHASE_STORING_CACHE);
static_assert(static_cast<int32_t>(ScanPhase::encoding) == QUENDAL_PHASE_ENCODING);

// The first version's options, up to and including user_data.
constexpr std::size_t k_first_options_size =
    offsetof(quendal_scan_options, user_data) + sizeof(void*);

// A text option: absent for a null pointer, otherwise its bytes, which must be UTF-8 without a
// NUL (a path with a NUL would be cut short by the system and name another file). The first bad
// or missing required option sets `error`.
std::optional<std::string> text_option(const char* data, uint64_t length, std::string_view name,
                                       bool required, std::optional<std::string>& error) {
  if (data == nullptr) {
    if (required && !error) error = "Missing required scan option " + std::string(name);
    return std::nullopt;
  }
  if (length > std::string().max_size()) throw std::bad_alloc();
  std::string text(data, static_cast<std::size_t>(length));
  if (error) return text;
  if (!is_valid_utf8(text)) {
    error = "Scan option " + std::string(name) + " is not valid UTF-8";
  } else if (text.find('\0') != std::string::npos) {
    error = "Scan option " + std::string(name) + " holds a NUL character";
  }
  return text;
}

const char* text_out(const std::string* text, uint64_t* length) {
  if (text == nullptr || text->empty()) {
    if (length != nullptr) *length = 0;
    return nullptr;
  }
  if (length != nullptr) *length = text->size();
  return text->c_str();
}

}  // namespace
}  // namespace quendal

struct quendal_scan {
  quendal_scan(quendal_progress_callback callback, void* user_data)
      : observer(callback, user_data), monitor(&observer) {
    // Room for the fixed failure texts, so that setting one after running out of memory
    // allocates nothing.
    failure.reserve(64);
  }

  quendal::ScanOptions options;
  std::optional<std::string> option_error;
  quendal::CallbackObserver observer;
  quendal::ScanMonitor monitor;
  // The handle's life: a run moves it from 0 to k_running and then to k_finished; destroy adds
  // k_destroyed, and whichever of destroy and the run's end comes last frees the handle.
  static constexpr unsigned k_running = 1;
  static constexpr unsigned k_finished = 2;
  static constexpr unsigned k_destroyed = 4;
  std::atomic<unsigned> lifetime{0};
  // Written last by the run, with release order: the texts below are complete once a reader
  // sees a status other than pending.
  std::atomic<quendal_status> status{QUENDAL_STATUS_PENDING};
  std::string report;
  std::string failure;
  quendal::FailureKind failure_kind = quendal::FailureKind::failed;
  quendal_summary summary{};
};

namespace {

quendal_status run(quendal_scan& scan) {
  using namespace quendal;
  if (scan.option_error) {
    scan.failure = *scan.option_error;
    return QUENDAL_STATUS_FAILED;
  }
  MemoryReportDestination destination;
  Result<ClientScanSummary> result =
      run_scan(scan.options, scan.monitor, destination, RunMemory::release);
  if (!result.ok()) {
    scan.failure_kind = result.kind();
    scan.failure = shown_message(result.failure());
    return result.kind() == FailureKind::cancelled ? QUENDAL_STATUS_CANCELLED
                                                   : QUENDAL_STATUS_FAILED;
  }
  scan.report = std::move(destination.bytes());
  scan.summary.expected_files = result->expected_files;
  scan.summary.healthy_files = result->healthy_files;
  scan.summary.missing_files = result->missing_files;
  scan.summary.modified_files = result->modified_files;
  scan.summary.critical_mismatches = result->critical_mismatches;
  scan.summary.bytes_to_download = result->bytes_to_download;
  return QUENDAL_STATUS_OK;
}

bool finished(const quendal_scan* scan) {
  return scan != nullptr && scan->status.load(std::memory_order_acquire) != QUENDAL_STATUS_PENDING;
}

}  // namespace

extern "C" {

const char* quendal_version(void) { return QUENDAL_VERSION; }

quendal_scan* quendal_scan_create(const quendal_scan_options* options) {
  if (options == nullptr || options->struct_size < quendal::k_first_options_size) return nullptr;
  try {
    quendal_scan_options given{};
    std::memcpy(
        &given, options,
        std::min<std::size_t>(sizeof given, static_cast<std::size_t>(options->struct_size)));
    // Owned until it is handed out: a text that cannot be copied frees it again.
    std::unique_ptr<quendal_scan> scan(new quendal_scan(given.progress, given.user_data));
    std::optional<std::string>& error = scan->option_error;
    scan->options.client_dir =
        quendal::text_option(given.client_dir, given.client_dir_length, "client_dir", true, error)
            .value_or(std::string());
    scan->options.manifest = quendal::text_option(given.manifest_path, given.manifest_path_length,
                                                  "manifest_path", true, error)
                                 .value_or(std::string());
    scan->options.cache =
        quendal::text_option(given.cache_path, given.cache_path_length, "cache_path", false, error);
    return scan.release();
  } catch (...) {
    return nullptr;
  }
}

quendal_status quendal_scan_run(quendal_scan* scan) {
  if (scan == nullptr) return QUENDAL_STATUS_FAILED;
  unsigned idle = 0;
  if (!scan->lifetime.compare_exchange_strong(idle, quendal_scan::k_running)) {
    return scan->status.load(std::memory_order_acquire);
  }
  quendal_status status = QUENDAL_STATUS_FAILED;
  try {
    status = run(*scan);
  } catch (const std::bad_alloc&) {
    scan->report.clear();
    scan->failure_kind = quendal::FailureKind::out_of_memory;
    scan->failure = quendal::k_run_out_of_memory;
  } catch (const std::length_error&) {
    scan->report.clear();
    scan->failure_kind = quendal::FailureKind::out_of_memory;
    scan->failure = quendal::k_run_out_of_memory;
  } catch (...) {
    scan->report.clear();
    scan->failure = "Failed to run scan: internal error";
  }
  scan->status.store(status, std::memory_order_release);
  const unsigned before =
      scan->lifetime.fetch_xor(quendal_scan::k_running | quendal_scan::k_finished);
  if ((before & quendal_scan::k_destroyed) != 0) delete scan;
  return status;
}

void quendal_scan_cancel(quendal_scan* scan) {
  if (scan != nullptr) scan->monitor.request_cancel();
}

quendal_status quendal_scan_status(const quendal_scan* scan) {
  return scan == nullptr ? QUENDAL_STATUS_FAILED : scan->status.load(std::memory_order_acquire);
}

quendal_failure_kind quendal_scan_failure_kind(const quendal_scan* scan) {
  const quendal_status status =
      scan == nullptr ? QUENDAL_STATUS_PENDING : quendal_scan_status(scan);
  if (status != QUENDAL_STATUS_FAILED && status != QUENDAL_STATUS_CANCELLED) {
    return QUENDAL_FAILURE_NONE;
  }
  switch (scan->failure_kind) {
    case quendal::FailureKind::failed: return QUENDAL_FAILURE_FAILED;
    case quendal::FailureKind::cancelled: return QUENDAL_FAILURE_CANCELLED;
    case quendal::FailureKind::out_of_memory: return QUENDAL_FAILURE_OUT_OF_MEMORY;
  }
  return QUENDAL_FAILURE_FAILED;
}

const char* quendal_scan_report(const quendal_scan* scan, uint64_t* length) {
  return quendal::text_out(finished(scan) ? &scan->report : nullptr, length);
}

const char* quendal_scan_warning(const quendal_scan* scan, uint64_t* length) {
  return quendal::text_out(finished(scan) ? &scan->observer.warning_text() : nullptr, length);
}

const char* quendal_scan_failure(const quendal_scan* scan, uint64_t* length) {
  return quendal::text_out(finished(scan) ? &scan->failure : nullptr, length);
}

int32_t quendal_scan_summary(const quendal_scan* scan, quendal_summary* summary) {
  constexpr std::size_t k_first_field = offsetof(quendal_summary, expected_files);
  if (summary == nullptr || summary->struct_size < k_first_field + sizeof(uint64_t) ||
      quendal_scan_status(scan) != QUENDAL_STATUS_OK) {
    return -1;
  }
  // Whole fields only: a size that ends inside a field leaves that field alone.
  const std::size_t given = std::min<std::size_t>(sizeof(quendal_summary),
                                                  static_cast<std::size_t>(summary->struct_size));
  const std::size_t fields = (given - k_first_field) / sizeof(uint64_t) * sizeof(uint64_t);
  std::memcpy(reinterpret_cast<char*>(summary) + k_first_field,
              reinterpret_cast<const char*>(&scan->summary) + k_first_field, fields);
  return 0;
}

void quendal_scan_destroy(quendal_scan* scan) {
  if (scan == nullptr) return;
  // A managed binding's finalizer may get here while the run is still going on another thread:
  // the run is then stopped and frees the handle as it returns.
  scan->observer.detach();
  scan->monitor.request_cancel();
  const unsigned before = scan->lifetime.fetch_or(quendal_scan::k_destroyed);
  if ((before & quendal_scan::k_running) == 0) delete scan;
}

}  // extern "C"
