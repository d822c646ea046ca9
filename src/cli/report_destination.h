// Where a run's report goes: the file named by --output or standard output for the program,
// memory for the library.
#pragma once

#include <optional>
#include <string>

#include "util/result.h"

namespace quendal {

class ReportDestination {
 public:
  virtual ~ReportDestination() = default;

  // Takes the encoded report (compact JSON without a line feed), once, on the run's thread.
  // A failure is the run's failure message.
  virtual Result<void> deliver(std::string&& bytes) = 0;
};

// The program's destination: the bytes exactly as encoded to `output_path`, created or
// truncated; without a path, the bytes and one line feed to standard output. Fails with
// "Failed to write scan output to '<path>': <cause>" or "Failed to write scan output to
// standard output: <cause>".
class OutputReportDestination final : public ReportDestination {
 public:
  explicit OutputReportDestination(std::optional<std::string> output_path)
      : m_output_path(std::move(output_path)) {}

  Result<void> deliver(std::string&& bytes) override;

 private:
  std::optional<std::string> m_output_path;
};

// Keeps the bytes; never fails.
class MemoryReportDestination final : public ReportDestination {
 public:
  Result<void> deliver(std::string&& bytes) override {
    m_bytes = std::move(bytes);
    return {};
  }

  std::string& bytes() { return m_bytes; }

 private:
  std::string m_bytes;
};

}  // namespace quendal
