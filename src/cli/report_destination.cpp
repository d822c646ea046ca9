#include "cli/report_destination.h"

#include "platform/platform.h"

namespace quendal {

Result<void> OutputReportDestination::deliver(std::string&& bytes) {
  if (m_output_path) {
    Result<void> written = platform::write_file(*m_output_path, bytes);
    if (!written.ok()) {
      return Failure{"Failed to write scan output to '" + *m_output_path +
                     "': " + written.error()};
    }
    return {};
  }
  bytes += '\n';
  Result<void> written = platform::write_stdout(bytes);
  if (!written.ok()) {
    return Failure{"Failed to write scan output to standard output: " + written.error()};
  }
  return {};
}

}  // namespace quendal
