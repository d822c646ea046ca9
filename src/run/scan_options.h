// What one scan run is given: the four paths of the command line.
#pragma once

#include <optional>
#include <string>

namespace quendal {

// The four paths of one run, each exactly as typed.
struct ScanOptions {
  std::string client_dir;
  std::string manifest;
  std::optional<std::string> cache;
  std::optional<std::string> output;
};

}  // namespace quendal
