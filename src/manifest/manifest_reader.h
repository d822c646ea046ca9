// Reading and validating the update manifest document.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "json/json_reader.h"
#include "manifest/manifest.h"
#include "util/result.h"

namespace quendal {

// Parses the manifest text. Keys are matched exactly; unknown keys are skipped at every level
// whatever their value; a field key given twice, a missing required key, a null anywhere but
// minimumLauncherVersion, a value of the wrong type, a size that is not an integer from 0 to
// 2^64-1, an unknown policy, a publishedAt that is not a timestamp, a leading byte-order mark
// and anything but JSON white space after the root all fail. The failure is the description
// of the fault, naming the key or string concerned, ending with " at line L, column C".
// With `threads` above 1 a large manifest's "files" are read in pieces on that many threads
// (started for the call) and joined in order; whenever that does not go through, the text is
// read again the plain way, so the result and every fault's message are the same either way.
// `min_piece`: the least bytes a piece holds (tests split small texts with it). `text_read`,
// when set, may be called once the text is no longer needed, before the pieces are joined, so
// that the caller can free it first; it is not called when the result comes from the plain
// reading.
Result<UpdateManifestDocument> parse_update_manifest(std::string_view text, std::size_t threads = 1,
                                                     std::size_t min_piece = json::k_min_split_part,
                                                     const std::function<void()>& text_read = {});

// Checks a parsed document, in this order: metadata complete ("Manifest metadata is
// incomplete."), hash algorithm sha256 ("Unsupported hash algorithm '<value>'. Only sha256 is
// supported right now."), files present ("Manifest does not list any client files."), file
// entries complete ("Manifest contains an incomplete file entry."), and file paths safe
// ("Manifest contains an unsafe file path."): no path may step out of the client directory
// through a ".." segment (or one of dots and spaces that Windows would read as ".."), name a
// drive or stream through ":", or hold a NUL.
Result<void> validate_update_manifest(const UpdateManifestDocument& document);

}  // namespace quendal
