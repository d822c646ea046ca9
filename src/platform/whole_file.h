// The whole-file read loop of read_file, shared by the platform implementations over their own
// read call. Only the platform files include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"

#include "util/result.h"

namespace quendal::platform {

// The rest of an open file whose length was `length` when it was opened, read through
// `read_some(char* buffer, std::size_t size)`, which returns Result<std::size_t> (0 at the end).
// The buffer is allocated once for `length` bytes; a file that grew meanwhile is read to its
// end. An allocation that fails throws std::bad_alloc, so the caller refuses a length beyond
// the machine's memory first (such an allocation might be granted and then filled page by page
// until the system runs out, for a huge sparse file).
template <typename ReadSome>
Result<FileBytes> read_whole_file(std::uint64_t length, ReadSome&& read_some) {
  FileBytes content(static_cast<std::size_t>(length));
  std::size_t used = 0;
  for (;;) {
    // Once the expected length is read, a small read tells whether the file grew meanwhile,
    // without growing the whole buffer for the read that finds its end.
    char probe[4096];
    const bool full = used == content.capacity();
    Result<std::size_t> got = read_some(full ? probe : content.data() + used,
                                        full ? sizeof probe : content.capacity() - used);
    if (!got.ok()) return std::move(got).failure();
    if (*got == 0) break;
    if (full) {
      FileBytes grown(content.capacity() * 2 + sizeof probe);
      std::memcpy(grown.data(), content.data(), used);
      std::memcpy(grown.data() + used, probe, *got);
      content = std::move(grown);
    }
    used += *got;
  }
  content.set_size(used);
  return content;
}

}  // namespace quendal::platform
