// Encoding the many elements of one array or object on several threads: the bulk of a large
// report or cache document, whose bytes must come out exactly as one writer would write them.
#pragma once

#include <cstddef>
#include <functional>

#include "json/json_writer.h"

namespace quendal::json {

// Elements encoded together, and the pieces that may be encoded ahead of the one being written:
// with `threads` threads at most 2 * threads pieces of k_piece_elements elements are held at
// once (a few megabytes), whatever the number of elements.
inline constexpr std::size_t k_piece_elements = 4096;

// Writes elements 0 to count - 1 of the container open in `out` (write_element(writer, i)
// writes element i to `writer`, as it would to `out`), encoding pieces of them on `threads`
// threads started for the call while the calling thread hands the finished pieces to `out` in
// order. The bytes are those that writing every element to `out` in turn would give, and reach
// out's sink in the same order. write_element must be safe to call from several threads at
// once (on different elements). An allocation failure in any thread is thrown again here
// once every thread has stopped; after the sink fails, no more elements are encoded.
void write_elements(Writer& out, std::size_t count, std::size_t threads,
                    const std::function<void(Writer&, std::size_t)>& write_element);

}  // namespace quendal::json
