#include "run/report_destination.h"

#include "util/out_of_memory.h"

namespace quendal {

Failure OutputReportDestination::failure(const std::string& cause) const {
  if (m_output_path)
    return Failure{"Failed to write scan output to '" + *m_output_path + "': " + cause};
  return Failure{"Failed to write scan output to standard output: " + cause};
}

Result<void> OutputReportDestination::write(std::string_view bytes) {
  if (m_output_path && !m_file) {
    // The file is created (or truncated) with the first piece, once the encoder has made every
    // allocation it needs up to there.
    Result<platform::OutputFile> file =
        platform::OutputFile::create(*m_output_path, platform::FinalLink::owned_only);
    if (!file.ok()) return failure(file.error());
    m_file.emplace(std::move(file).value());
  }
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
  if (!allocated([&] { m_held.assign(bytes); })) {
    // Without the memory to hold the piece, it goes out now and the line feed on its own.
    m_held.clear();
    Result<void> written = platform::write_stdout(bytes);
    if (!written.ok()) return failure(written.error());
  }
  return {};
}

Result<void> OutputReportDestination::close() {
  if (m_output_path && !m_file) {
    Result<void> created = write({});  // an empty report still makes the file
    if (!created.ok()) return created;
  }
  if (!m_file) {
    const bool fed = allocated([&] { m_held += '\n'; });
    Result<void> written = platform::write_stdout(m_held);
    if (written.ok() && !fed) written = platform::write_stdout("\n");
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
