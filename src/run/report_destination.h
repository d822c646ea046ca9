// Where a run's report goes: the file named by --output or standard output for the program,
// memory for the library. The report reaches it in pieces as it is encoded.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "util/byte_sink.h"
#include "util/result.h"

namespace quendal {

// A delivery is the report's bytes through write() (compact JSON without a line feed), then
// close(), all on the run's thread; after a failure nothing more is called. Nothing is created
// or changed before the first write. Every failure is the run's failure message.
class ReportDestination : public ByteSink {
 public:
  virtual Result<void> close() = 0;
};

// The program's destination: the bytes exactly as encoded to `output_path`, created or
// truncated, through a final link only when it belongs to this process's user or to the system
// (see platform::FinalLink::owned_only); without a path, the bytes and one line feed to standard
// output. Fails with "Failed to write scan output to '<path>': <cause>" or "Failed to write scan
// output to standard output: <cause>".
class OutputReportDestination final : public ReportDestination {
 public:
  explicit OutputReportDestination(std::optional<std::string> output_path)
      : m_output_path(std::move(output_path)) {}

  Result<void> write(std::string_view bytes) override;
  Result<void> close() override;

 private:
  Failure failure(const std::string& cause) const;

  std::optional<std::string> m_output_path;
  std::optional<platform::OutputFile> m_file;
  std::string m_held;  // standard output's last piece, not yet written
};

// Keeps the bytes; never fails.
class MemoryReportDestination final : public ReportDestination {
 public:
  Result<void> write(std::string_view bytes) override {
    m_bytes.append(bytes);
    return {};
  }
  Result<void> close() override { return {}; }

  std::string& bytes() { return m_bytes; }

 private:
  std::string m_bytes;
};

}  // namespace quendal
