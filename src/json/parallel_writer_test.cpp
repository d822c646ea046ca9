#include "json/parallel_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace quendal::json {
namespace {

// A document whose array holds `count` objects of varied text (escapes, UTF-8, one invalid
// string when `bad` is set), written element by element on `threads` threads.
Result<std::string> document(Layout layout, std::size_t count, std::size_t threads,
                             std::size_t bad = SIZE_MAX) {
  StringSink sink;
  Writer out(layout, sink, 1000);
  out.begin_object();
  out.field("before", "x");
  out.begin_array("items");
  write_elements(out, count, threads, [&](Writer& to, std::size_t i) {
    to.begin_object();
    to.field("i", std::uint64_t{i});
    to.field("text", i == bad ? std::string("\xff") : "\"é\\\n" + std::to_string(i * 7919));
    to.end_object();
  });
  out.end_array();
  out.field("after", std::uint64_t{1});
  out.end_object();
  Result<std::string> finished = std::move(out).finish();
  if (!finished.ok()) return finished;
  return std::move(sink.bytes());
}

TEST(WriteElements, GivesThePlainWritersBytesAroundEveryPieceSize) {
  for (Layout layout : {Layout::compact, Layout::indented}) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, k_piece_elements - 1,
                              k_piece_elements, k_piece_elements + 1, 3 * k_piece_elements + 17}) {
      SCOPED_TRACE(std::to_string(count) + (layout == Layout::compact ? " compact" : " indented"));
      const Result<std::string> plain = document(layout, count, 1);
      ASSERT_TRUE(plain.ok());
      for (std::size_t threads : {2u, 3u}) {
        const Result<std::string> parallel = document(layout, count, threads);
        ASSERT_TRUE(parallel.ok());
        EXPECT_EQ(*parallel, *plain);
      }
    }
  }
  // A string that is not UTF-8 in a later piece fails the whole document, as it does plainly.
  EXPECT_FALSE(document(Layout::compact, 3 * k_piece_elements, 2, 2 * k_piece_elements + 5).ok());
  EXPECT_FALSE(document(Layout::compact, 3 * k_piece_elements, 1, 2 * k_piece_elements + 5).ok());
}

}  // namespace
}  // namespace quendal::json
