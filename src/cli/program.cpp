#include "cli/program.h"

#include "cli/command_line.h"
#include "cli/progress_channel.h"
#include "cli/progress_line.h"
#include "platform/platform.h"
#include "run/report_destination.h"
#include "run/scan_run.h"
#include "util/out_of_memory.h"

namespace quendal {
namespace {

// The message and a line feed, in one write when there is memory to join them.
void write_message_line(std::string_view message) {
  std::string line;
  if (allocated([&] { line.append(message).append("\n"); })) {
    (void)platform::write_stderr(line);
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
  const std::string_view message = shown_message(run.failure());
  channel.end(k_exit_failure, message);
  write_message_line(message);
  return k_exit_failure;
}

}  // namespace

int program_main(const std::function<std::vector<std::string>()>& arguments) {
  platform::initialize_process();
  try {
    return run_program(arguments());
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  write_message_line(k_run_out_of_memory);
  return k_exit_failure;
}

}  // namespace quendal
