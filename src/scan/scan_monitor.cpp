#include "scan/scan_monitor.h"

namespace quendal {

void ScanMonitor::begin_phase(ScanPhase phase, std::uint64_t files_total) {
  m_phase = phase;
  if (phase == ScanPhase::checking_files) m_files_total = files_total;
  if (m_observer != nullptr) m_observer->phase_started(phase);
  tick();
}

bool ScanMonitor::end_phase() {
  report();
  return !cancel_requested();
}

void ScanMonitor::tick() {
  if (!m_reported || std::chrono::steady_clock::now() - m_last_report >= k_report_interval) {
    report();
  }
}

void ScanMonitor::warning(std::string_view text) {
  if (m_observer != nullptr) m_observer->warning(text);
}

std::size_t ScanMonitor::thread_slot() {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t slot = next.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

ScanProgress ScanMonitor::snapshot() const {
  ScanProgress progress;
  progress.phase = m_phase;
  progress.files_total = m_files_total;
  // bytes_hashed first: every byte it counts was added to bytes_to_hash before, by the same
  // thread into the same slot, so the sums read in this order never show more hashed than to
  // hash.
  for (const Counters& slot : m_slots) {
    progress.files_done += slot.files_done.load(std::memory_order_acquire);
    progress.bytes_hashed += slot.bytes_hashed.load(std::memory_order_acquire);
  }
  for (const Counters& slot : m_slots) {
    progress.bytes_to_hash += slot.bytes_to_hash.load(std::memory_order_acquire);
  }
  return progress;
}

void ScanMonitor::report() {
  m_reported = true;
  m_last_report = std::chrono::steady_clock::now();
  if (m_observer != nullptr && !m_observer->progress(snapshot())) request_cancel();
}

FileHashProgress::FileHashProgress(ScanMonitor* monitor, std::uint64_t length)
    : m_monitor(monitor), m_length(length) {
  if (m_monitor != nullptr) m_monitor->add_bytes_to_hash(length);
}

FileHashProgress::~FileHashProgress() {
  if (m_monitor != nullptr && m_credited < m_length) {
    m_monitor->add_bytes_hashed(m_length - m_credited);
  }
}

void FileHashProgress::bytes_read(std::uint64_t bytes) {
  if (m_monitor == nullptr) return;
  const std::uint64_t room = m_length - m_credited;
  const std::uint64_t credit = bytes < room ? bytes : room;
  if (credit == 0) return;
  m_credited += credit;
  m_monitor->add_bytes_hashed(credit);
}

}  // namespace quendal
