#include "cli/command_line.h"

#include "util/text.h"

namespace quendal {

const std::string_view k_usage_text =
    "Usage: quendal --client-dir <PATH> --manifest <PATH> [--cache <PATH>] [--output <PATH>]\n"
    "\n"
    "Implicit exclusions include .velor-updater, velor-tirn.exe, quendal.exe, "
    "tools/quendal.exe, and log.txt.\n"
    "Protected root files are preserved when present and only repaired when missing.";

namespace {

ArgumentError argument_error(std::string message) {
  message += "\n\n";
  message += k_usage_text;
  return ArgumentError{std::move(message)};
}

}  // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string>& arguments) {
  std::optional<std::string> client_dir;
  std::optional<std::string> manifest;
  ScanOptions options;
  std::string pending;  // the flag name waiting for its value, or empty
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!is_valid_utf8(argument)) {
      return argument_error("Argument " + std::to_string(i + 1) + " is not valid UTF-8");
    }
    if (!pending.empty()) {
      if (pending == "--client-dir")
        client_dir = argument;
      else if (pending == "--manifest")
        manifest = argument;
      else if (pending == "--cache")
        options.cache = argument;
      else
        options.output = argument;
      pending.clear();
      continue;
    }
    if (argument == "-h" || argument == "--help") return HelpRequest{};
    if (argument == "--client-dir" || argument == "--manifest" || argument == "--cache" ||
        argument == "--output") {
      pending = argument;
      continue;
    }
    return argument_error("Unknown argument: " + one_line(argument));
  }
  if (!pending.empty()) return argument_error("Missing value for " + pending);
  if (!client_dir) return argument_error("Missing required argument --client-dir");
  if (!manifest) return argument_error("Missing required argument --manifest");
  options.client_dir = std::move(*client_dir);
  options.manifest = std::move(*manifest);
  return options;
}

}  // namespace quendal
