#include "cli/progress_line.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"

namespace quendal {
namespace {

std::string with_thousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

constexpr std::string_view k_units[] = {"B", "KiB", "MiB", "GiB", "TiB"};

// The index in k_units of the largest unit that `value` reaches.
std::size_t unit_of(std::uint64_t value) {
  std::size_t unit = 0;
  while (unit + 1 < std::size(k_units) && value >= (std::uint64_t{1} << (10 * (unit + 1)))) {
    ++unit;
  }
  return unit;
}

// `value` in k_units[unit]: whole bytes, otherwise with one decimal rounded down.
std::string in_unit(std::uint64_t value, std::size_t unit, bool decimal) {
  if (unit == 0) return std::to_string(value);
  const std::uint64_t size = std::uint64_t{1} << (10 * unit);
  std::string text = std::to_string(value / size);
  if (decimal) {
    text += '.';
    text += static_cast<char>('0' + (value % size) * 10 / size);
  }
  return text;
}

void write_to_stderr(std::string_view text) { (void)platform::write_stderr(text); }

// `count` spaces without building a text for them, so that erasing the line needs no memory.
void write_spaces(std::size_t count) {
  static constexpr char k_spaces[] =
      "                                                                ";
  while (count > 0) {
    const std::size_t part = std::min(count, sizeof k_spaces - 1);
    write_to_stderr(std::string_view(k_spaces, part));
    count -= part;
  }
}

}  // namespace

std::string format_progress_line(const ScanProgress& progress, double seconds) {
  // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) about chains of std::string +.
  std::string line = "checking ";
  line.append(with_thousands(progress.files_done)).append(" / ");
  line.append(with_thousands(progress.files_total)).append(" files, ");
  const std::size_t unit =
      unit_of(progress.bytes_to_hash > progress.bytes_hashed ? progress.bytes_to_hash
                                                             : progress.bytes_hashed);
  line.append(in_unit(progress.bytes_hashed, unit, true)).append(" / ");
  line.append(in_unit(progress.bytes_to_hash, unit, true)).append(" ");
  line.append(k_units[unit]).append(", ");
  double rate = seconds > 0 ? static_cast<double>(progress.bytes_hashed) / seconds : 0;
  if (!(rate < 1.8e19)) rate = 0;  // past 2^64, or not a number: nothing sensible to show
  const auto speed = static_cast<std::uint64_t>(rate);
  const std::size_t speed_unit = unit_of(speed);
  const bool decimal = speed < (std::uint64_t{10} << (10 * speed_unit));
  line.append(in_unit(speed, speed_unit, decimal)).append(" ");
  line.append(k_units[speed_unit]).append("/s");
  return line;
}

void ProgramObserver::phase_started(ScanPhase phase) {
  if (m_forward != nullptr) m_forward->phase_started(phase);
  if (phase != ScanPhase::checking_files) {
    erase();
    return;
  }
  m_checking_began = std::chrono::steady_clock::now();
  m_drawn = false;
}

bool ProgramObserver::progress(const ScanProgress& progress) {
  if (m_forward != nullptr) (void)m_forward->progress(progress);
  if (!m_show_line || progress.phase != ScanPhase::checking_files) return true;
  const auto now = std::chrono::steady_clock::now();
  if (m_drawn && now - m_last_draw < k_redraw_interval) return true;
  m_drawn = true;
  m_last_draw = now;
  const std::chrono::duration<double> seconds = now - m_checking_began;
  std::string text;
  try {
    text.push_back('\r');
    text.append(format_progress_line(progress, seconds.count()));
    // A shorter line leaves the end of the longer one behind unless it is blanked out.
    if (text.size() - 1 < m_shown) text.append(m_shown - (text.size() - 1), ' ');
  } catch (const std::bad_alloc&) {
    return true;  // short of memory: the line waits for the next redraw
  }
  m_shown = std::max(m_shown, text.size() - 1);
  write_to_stderr(text);
  return true;
}

void ProgramObserver::warning(std::string_view text) {
  erase();
  write_to_stderr(text);
}

void ProgramObserver::erase() {
  if (m_shown == 0) return;
  write_to_stderr("\r");
  write_spaces(m_shown);
  write_to_stderr("\r");
  m_shown = 0;
}

}  // namespace quendal
