// Shared by the libFuzzer harnesses: FUZZ_CHECK aborts with the failed condition, which libFuzzer
// reports as a crash and saves the input for.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "json/json_reader.h"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace quendal::fuzz {

// Accepts every JSON document whose root is an object: reading a text with it tells whether the
// text is JSON, independently of the encoder that wrote it.
class AnyDocument final : public json::Target {
 public:
  std::string on_scalar(const json::Scalar&) override { return {}; }
  std::string on_nested(bool, Target*& child) override {
    child = this;
    return {};
  }
};

// A failure description the tool prints: one line that ends with where reading stopped.
inline bool is_parse_fault(std::string_view message) {
  return !message.empty() && message.find('\n') == std::string_view::npos &&
         message.find(" at line ") != std::string_view::npos;
}

}  // namespace quendal::fuzz
