// The command line: arguments in, ScanOptions, a help request or an argument error out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "run/scan_options.h"

namespace quendal {

inline constexpr int k_exit_success = 0;
inline constexpr int k_exit_failure = 1;
inline constexpr int k_exit_usage = 2;

extern const std::string_view k_usage_text;

struct HelpRequest {};
// An argument error: the message (usage text included) for standard error, without the final
// line feed.
struct ArgumentError {
  std::string message;
};

using ParsedCommandLine = std::variant<ScanOptions, HelpRequest, ArgumentError>;

// One left-to-right pass over the arguments after the program name.
ParsedCommandLine parse_command_line(const std::vector<std::string>& arguments);

}  // namespace quendal
