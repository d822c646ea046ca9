#include "cli/report_destination.h"

#include "platform/platform.h"
#include "util/out_of_memory.h"

namespace quendal {

Result<void> OutputReportDestination::deliver(std::string&& bytes) {
  if (m_output_path) {
    Result<void> written =
        catch_out_of_memory([&] { return platform::write_file(*m_output_path, bytes); });
    if (!written.ok()) {
      return Failure{"Failed to write scan output to '" + *m_output_path + "': " + written.error()};
    }
    return {};
  }
  // Without the memory to append the line feed, the feed goes out in a write of its own.
  const Result<void> fed = catch_out_of_memory([&] { bytes += '\n'; });
  Result<void> written = platform::write_stdout(bytes);
  if (written.ok() && !fed.ok()) written = platform::write_stdout("\n");
  if (!written.ok()) {
    return Failure{"Failed to write scan output to standard output: " + written.error()};
  }
  return {};
}

}  // namespace quendal
