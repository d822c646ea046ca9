// The whole-file read loop of read_file, shared by the platform implementations over their own
// read call. Only the platform files include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "util/result.h"

namespace quendal::platform {

// The rest of an open file whose length was `length` when it was opened, read through
// `read_some(char* buffer, std::size_t size)`, which returns Result<std::size_t> (0 at the end).
// The text is allocated once for `length` bytes; a file that grew meanwhile is read to its end.
// An allocation that fails throws std::bad_alloc, so the caller refuses a length beyond the
// machine's memory first (such an allocation might be granted and then filled page by page
// until the system runs out, for a huge sparse file).
template <typename ReadSome>
Result<std::string> read_whole_file(std::uint64_t length, ReadSome&& read_some) {
  std::string content(static_cast<std::size_t>(length), '\0');
  std::size_t used = 0;
  for (;;) {
    // Once the expected length is read, a small read tells whether the file grew meanwhile,
    // without growing the whole text for the read that finds its end.
    char probe[4096];
    const bool full = used == content.size();
    Result<std::size_t> got = read_some(full ? probe : content.data() + used,
                                        full ? sizeof probe : content.size() - used);
    if (!got.ok()) return std::move(got).failure();
    if (*got == 0) break;
    if (full) {
      content.append(probe, *got);
      content.resize(content.capacity());
    }
    used += *got;
  }
  content.resize(used);
  return content;
}

}  // namespace quendal::platform
