#include "cli/report_destination.h"

namespace quendal {

Failure OutputReportDestination::failure(const std::string& cause) const {
  if (m_output_path) return Failure{"Failed to write scan output to '" + *m_output_path + "': " + cause};
  return Failure{"Failed to write scan output to standard output: " + cause};
}

Result<void> OutputReportDestination::open() {
  if (!m_output_path) return {};
  Result<platform::OutputFile> file = platform::OutputFile::create(*m_output_path);
  if (!file.ok()) return failure(file.error());
  m_file.emplace(std::move(file).value());
  return {};
}

Result<void> OutputReportDestination::write(std::string_view bytes) {
  if (m_file) {
    Result<void> written = m_file->write(bytes);
    if (!written.ok()) return failure(written.error());
    return {};
  }
  // Standard output gets each piece one piece late, so that the last one leaves with the line
  // feed in the same request: a small report is one write, as a reader of a pipe expects.
  if (!m_held.empty()) {
    Result<void> written = platform::write_stdout(m_held);
    if (!written.ok()) return failure(written.error());
  }
  m_held.assign(bytes);
  return {};
}

Result<void> OutputReportDestination::close() {
  if (!m_file) {
    m_held += '\n';
    Result<void> written = platform::write_stdout(m_held);
    m_held.clear();
    if (!written.ok()) return failure(written.error());
    return {};
  }
  Result<void> closed = m_file->close();
  m_file.reset();
  if (!closed.ok()) return failure(closed.error());
  return {};
}

}  // namespace quendal
