// The progress line that the program shows on standard error while files are checked, when
// standard error is a terminal, and the program's observer of its run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "scan/scan_monitor.h"

namespace quendal {

// "checking 12,345 / 100,000 files, 1.2 / 3.1 GiB, 450 MiB/s": files done and the scan list's
// length with "," between thousands; bytes hashed and bytes to hash, both in the unit of the
// larger (B below 1 KiB, then KiB, MiB, GiB and TiB in steps of 1024) with one decimal rounded
// down, bytes as whole numbers; and the speed, bytes hashed over `seconds` since the checking
// phase began, in its own unit from B/s to TiB/s, whole from 10 units up, with one decimal
// rounded down below 10 (bytes per second always whole). 0 seconds gives 0 B/s.
std::string format_progress_line(const ScanProgress& progress, double seconds);

// The program's observer. Warnings go to standard error as they arise. When `show_line` is
// true (standard error is a terminal) the checking phase is shown as format_progress_line,
// redrawn in place after "\r" at most every k_redraw_interval, the first time at once; the
// line is erased ("\r", as many spaces as it was long, "\r") before a warning, when another
// phase begins and by erase(), so nothing of it stays between other texts. The phases and the
// progress calls also go to the observer given to forward_to (the progress channel), first.
// Never cancels. Used on the run's thread only.
class ProgramObserver final : public RunObserver {
 public:
  static constexpr std::chrono::milliseconds k_redraw_interval{200};

  explicit ProgramObserver(bool show_line) : m_show_line(show_line) {}

  void phase_started(ScanPhase phase) override;
  bool progress(const ScanProgress& progress) override;
  void warning(std::string_view text) override;

  // Erases the line when it is shown.
  void erase();

  // `observer` (null: none) must outlive this one; its answer to a progress call is ignored.
  void forward_to(RunObserver* observer) { m_forward = observer; }

 private:
  bool m_show_line;
  RunObserver* m_forward = nullptr;
  std::size_t m_shown = 0;  // the width the line takes on the terminal; 0: nothing shown
  bool m_drawn = false;     // drawn at least once in this checking phase
  std::chrono::steady_clock::time_point m_checking_began;
  std::chrono::steady_clock::time_point m_last_draw;
};

}  // namespace quendal
