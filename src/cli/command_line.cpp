#include "cli/command_line.h"

#include "cli/progress_channel.h"
#include "cli/progress_line.h"
#include "run/report_destination.h"
#include "run/scan_run.h"
#include "platform/platform.h"
#include "util/out_of_memory.h"
#include "util/text.h"

namespace quendal {

const std::string_view k_usage_text =
    "Usage: quendal --client-dir <PATH> --manifest <PATH> [--cache <PATH>] [--output <PATH>]\n"
    "\n"
    "Implicit exclusions include .velor-updater, velor-tirn.exe, quendal.exe, "
    "tools/quendal.exe, and log.txt.\n"
    "Protected root files are preserved when present and only repaired when missing.";

namespace {

// The message of a run that ran out of memory between its steps, or for its own message, with
// its line feed: written in one request, as every other message is.
constexpr std::string_view k_run_out_of_memory_line = "Failed to run scan: out of memory\n";

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
      if (pending == "--client-dir") client_dir = argument;
      else if (pending == "--manifest") manifest = argument;
      else if (pending == "--cache") options.cache = argument;
      else options.output = argument;
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

namespace {

// The message and a line feed, in one write when there is memory to join them.
void write_message_line(std::string_view message) {
  const Result<std::string> line =
      catch_out_of_memory([&] { return std::string(message).append("\n"); });
  if (line.ok()) {
    (void)platform::write_stderr(*line);
    return;
  }
  (void)platform::write_stderr(message);
  (void)platform::write_stderr("\n");
}

int run_program(const std::vector<std::string>& arguments) {
  ParsedCommandLine parsed = parse_command_line(arguments);
  if (std::holds_alternative<HelpRequest>(parsed)) {
    std::string text(k_usage_text);
    text += '\n';
    return platform::write_stdout(text).ok() ? k_exit_success : k_exit_failure;
  }
  if (auto* error = std::get_if<ArgumentError>(&parsed)) {
    error->message += '\n';
    (void)platform::write_stderr(error->message);
    return k_exit_usage;
  }
  ScanOptions& options = std::get<ScanOptions>(parsed);
  ProgramObserver observer(platform::stderr_is_terminal());
  ProgressChannel channel(platform::environment_variable(k_progress_variable), observer);
  observer.forward_to(&channel);
  ScanMonitor monitor(&observer);
  OutputReportDestination destination(options.output);
  Result<ClientScanSummary> run =
      run_scan(std::move(options), monitor, destination, RunMemory::keep_until_exit);
  observer.erase();
  if (run.ok()) {
    channel.end(k_exit_success, std::nullopt);
    return k_exit_success;
  }
  // The end event before the message, so that a warning about the channel never follows the
  // message, which a launcher takes from the last line of standard error.
  if (run.error() == k_out_of_memory) {
    channel.end(k_exit_failure,
                k_run_out_of_memory_line.substr(0, k_run_out_of_memory_line.size() - 1));
    return platform::program_out_of_memory();
  }
  channel.end(k_exit_failure, run.error());
  write_message_line(run.error());
  return k_exit_failure;
}

}  // namespace

int platform::program_out_of_memory() {
  (void)platform::write_stderr(k_run_out_of_memory_line);
  return k_exit_failure;
}

int platform::program_main(const std::vector<std::string>& arguments) {
  platform::initialize_process();
  // Every step of a run turns its own allocation failures into its message; this catches the
  // few allocations between the steps, and those of the message itself.
  try {
    return run_program(arguments);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return platform::program_out_of_memory();
}

}  // namespace quendal
