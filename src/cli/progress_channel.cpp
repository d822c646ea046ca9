#include "cli/progress_channel.h"

#include <new>

#include "json/json_writer.h"
#include "util/text.h"

namespace quendal {
namespace {

std::string_view phase_name(ScanPhase phase) {
  switch (phase) {
    case ScanPhase::reading_manifest: return "reading_manifest";
    case ScanPhase::loading_cache: return "loading_cache";
    case ScanPhase::checking_files: return "checking_files";
    case ScanPhase::storing_cache: return "storing_cache";
    case ScanPhase::encoding: return "encoding";
  }
  return "";
}

// `text` with every byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD:
// a JSON text cannot hold such bytes, and a path from the file system may.
std::string as_utf8(std::string_view text) {
  std::string result;
  for (;;) {
    const std::size_t valid = valid_utf8_prefix(text);
    result.append(text.substr(0, valid));
    if (valid == text.size()) return result;
    result.append("\xEF\xBF\xBD");
    text.remove_prefix(valid + 1);
  }
}

// The writer's document and a line feed. Every text handed to it is UTF-8, so it cannot fail.
std::string line_of(json::Writer&& out) {
  Result<std::string> text = std::move(out).finish();
  if (!text.ok()) return std::string();
  text->push_back('\n');
  return std::move(text).value();
}

// The channel that `setting` names: a number is a descriptor, anything else a path.
Result<platform::NonBlockingOutput> open_channel(const std::string& setting) {
  std::int64_t descriptor = 0;
  for (char c : setting) {
    if (c < '0' || c > '9') return platform::NonBlockingOutput::open_path(setting);
    // Past INT64_MAX / 10 no descriptor can be meant; the number stays too large to be one.
    if (descriptor < INT64_MAX / 10) descriptor = descriptor * 10 + (c - '0');
  }
  return platform::NonBlockingOutput::open_descriptor(descriptor);
}

}  // namespace

std::string encode_progress_event(const ScanProgress& progress) {
  json::Writer out(json::Layout::compact);
  out.begin_object();
  out.field("event", "progress");
  out.field("phase", phase_name(progress.phase));
  out.field("filesDone", progress.files_done);
  out.field("filesTotal", progress.files_total);
  out.field("bytesHashed", progress.bytes_hashed);
  out.field("bytesToHash", progress.bytes_to_hash);
  out.end_object();
  return line_of(std::move(out));
}

std::string encode_end_event(int exit_status, std::optional<std::string_view> failure) {
  json::Writer out(json::Layout::compact);
  out.begin_object();
  out.field("event", "end");
  out.field("exitStatus", std::int64_t{exit_status});
  out.field("failure", failure ? std::optional<std::string>(as_utf8(*failure)) : std::nullopt);
  out.end_object();
  return line_of(std::move(out));
}

ProgressChannel::ProgressChannel(const std::optional<std::string>& setting, RunObserver& warnings)
    : m_warnings(warnings) {
  if (!setting || setting->empty()) return;
  m_setting = *setting;
  Result<platform::NonBlockingOutput> opened = open_channel(m_setting);
  if (!opened.ok()) {
    turn_off(opened.error());
    return;
  }
  m_output.emplace(std::move(opened).value());
}

bool ProgressChannel::progress(const ScanProgress& progress) {
  if (!m_output) return true;
  try {
    if (!flush()) return true;
    const std::string line = encode_progress_event(progress);
    // A reader that lags this far behind gets the later events it has room for, never half a
    // line; the run does not wait for it.
    if (m_held.size() + line.size() <= k_max_held) {
      m_held += line;
      (void)flush();
    }
  } catch (const std::bad_alloc&) {
    // Short of memory: this event is dropped, as one the reader had no room for would be.
  }
  return true;
}

void ProgressChannel::end(int exit_status, std::optional<std::string_view> failure) {
  if (!m_output) return;
  try {
    m_held += encode_end_event(exit_status, failure);
  } catch (const std::bad_alloc&) {
    // The reader gets what is held; the exit status tells the rest.
  }
  const auto deadline = std::chrono::steady_clock::now() + k_end_wait;
  while (flush() && !m_held.empty()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    m_output->wait_writable(static_cast<int>(left.count()));
  }
  m_output.reset();
}

bool ProgressChannel::flush() {
  while (!m_held.empty()) {
    Result<std::size_t> taken = m_output->write_some(m_held);
    if (!taken.ok()) {
      turn_off(taken.error());
      return false;
    }
    if (*taken == 0) return true;
    m_held.erase(0, *taken);
  }
  return true;
}

void ProgressChannel::turn_off(std::string_view cause) {
  m_output.reset();
  std::string().swap(m_held);
  try {
    std::string text = "Ignoring progress channel ";
    text.append(quoted_excerpt(std::string(k_progress_variable) + "=" + m_setting));
    text.append(": ").append(cause).append("\n");
    m_warnings.warning(text);
  } catch (const std::bad_alloc&) {
    // The warning needs memory that is not there; the channel is off all the same.
  }
}

}  // namespace quendal
