// The progress channel: the run's progress as JSON Lines, for a launcher that runs the program
// through pipes, written where the environment variable QUENDAL_PROGRESS says.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "scan/scan_monitor.h"

namespace quendal {

inline constexpr char k_progress_variable[] = "QUENDAL_PROGRESS";

// One event as its line, compact JSON and a line feed, every key always present:
//   {"event":"progress","phase":"checking_files","filesDone":12,"filesTotal":100,
//    "bytesHashed":1024,"bytesToHash":4096}
//   {"event":"end","exitStatus":1,"failure":"Failed to read manifest ..."}
// The phase is its ScanPhase name; the failure is null for a run that succeeded, otherwise the
// message of standard error, where bytes that are not UTF-8 (a path's) become U+FFFD.
std::string encode_progress_event(const ScanProgress& progress);
std::string encode_end_event(int exit_status, std::optional<std::string_view> failure);

// Writes every progress call of the run as an event, and end() the last line. The channel is
// what the setting names: a decimal number for an open descriptor of the process, an absolute
// path for a file (appended to), a FIFO or a named pipe; nothing at all when there is no setting
// or it is empty. The reader is never waited for, and the run is the same with or without it:
// lines the reader has not taken are held (up to k_max_held bytes, whole lines only), and a line
// that does not fit is dropped; end() waits at most k_end_wait for the reader to take the rest.
// A channel that cannot be opened, or fails later (the reader has gone away), is reported once
// to `warnings` as "Ignoring progress channel 'QUENDAL_PROGRESS=<setting>': <cause>\n" and is
// off from then on. Never cancels. Used on the run's thread only; `warnings` must outlive it.
class ProgressChannel final : public RunObserver {
 public:
  static constexpr std::size_t k_max_held = 64 * 1024;
  static constexpr std::chrono::milliseconds k_end_wait{1000};

  ProgressChannel(const std::optional<std::string>& setting, RunObserver& warnings);

  void phase_started(ScanPhase) override {}
  bool progress(const ScanProgress& progress) override;
  void warning(std::string_view) override {}

  // The end event of the run, when the channel is on.
  void end(int exit_status, std::optional<std::string_view> failure);

 private:
  // Hands what is held to the reader as far as it takes it now; false when the channel failed.
  bool flush();
  void turn_off(std::string_view cause);

  RunObserver& m_warnings;
  std::string m_setting;
  std::optional<platform::NonBlockingOutput> m_output;
  std::string m_held;  // whole lines, the first perhaps begun, that the reader has not taken
};

}  // namespace quendal
