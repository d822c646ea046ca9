#include "cli/progress_channel.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace quendal {
namespace {

TEST(ProgressChannelEvents, AreOneCompactLineWithEveryKeyInOrder) {
  const std::uint64_t max = UINT64_MAX;
  const struct {
    std::string line;
    const char* expected;
  } cases[] = {
      {encode_progress_event({ScanPhase::reading_manifest, 0, 0, 0, 0}),
       R"({"event":"progress","phase":"reading_manifest","filesDone":0,"filesTotal":0,)"
       R"("bytesHashed":0,"bytesToHash":0})"
       "\n"},
      {encode_progress_event({ScanPhase::checking_files, 12, 100, 1024, 4096}),
       R"({"event":"progress","phase":"checking_files","filesDone":12,"filesTotal":100,)"
       R"("bytesHashed":1024,"bytesToHash":4096})"
       "\n"},
      {encode_progress_event({ScanPhase::encoding, max, max, max, max}),
       R"({"event":"progress","phase":"encoding","filesDone":18446744073709551615,)"
       R"("filesTotal":18446744073709551615,"bytesHashed":18446744073709551615,)"
       R"("bytesToHash":18446744073709551615})"
       "\n"},
      {encode_progress_event({ScanPhase::loading_cache, 0, 0, 0, 0}),
       R"({"event":"progress","phase":"loading_cache","filesDone":0,"filesTotal":0,)"
       R"("bytesHashed":0,"bytesToHash":0})"
       "\n"},
      {encode_progress_event({ScanPhase::storing_cache, 1, 1, 3, 3}),
       R"({"event":"progress","phase":"storing_cache","filesDone":1,"filesTotal":1,)"
       R"("bytesHashed":3,"bytesToHash":3})"
       "\n"},
      {encode_end_event(0, std::nullopt), R"({"event":"end","exitStatus":0,"failure":null})"
                                          "\n"},
      {encode_end_event(1, "Failed to read manifest 'm.json': No such file or directory"),
       R"({"event":"end","exitStatus":1,"failure":)"
       R"("Failed to read manifest 'm.json': No such file or directory"})"
       "\n"},
      // Escaped as the report escapes; bytes that are not UTF-8 become U+FFFD, each on its own.
      {encode_end_event(1, "Failed to open 'C:\\a \"b\"\n\x01\xC3\xA9\xFF\xC3': Is a directory"),
       R"({"event":"end","exitStatus":1,"failure":)"
       R"("Failed to open 'C:\\a \"b\"\n\u0001)"
       "\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD"
       R"(': Is a directory"})"
       "\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.line, c.expected);
}

}  // namespace
}  // namespace quendal
