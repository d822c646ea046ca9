// Where encoded bytes go as they are produced: a file, standard output, or memory.
#pragma once

#include <string>
#include <string_view>

#include "util/result.h"

namespace quendal {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes the next bytes. A failure is the sink's own one-line cause; no more bytes follow it.
  virtual Result<void> write(std::string_view bytes) = 0;
};

// Appends to a string; never fails.
class StringSink final : public ByteSink {
 public:
  Result<void> write(std::string_view bytes) override {
    m_bytes.append(bytes);
    return {};
  }
  std::string& bytes() { return m_bytes; }

 private:
  std::string m_bytes;
};

}  // namespace quendal
