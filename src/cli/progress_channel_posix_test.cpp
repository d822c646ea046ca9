// The progress channel on a real pipe that nobody reads while the run goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "cli/progress_channel.h"

namespace quendal {
namespace {

class CollectedWarnings final : public RunObserver {
 public:
  void phase_started(ScanPhase) override {}
  bool progress(const ScanProgress&) override { return true; }
  void warning(std::string_view text) override { texts.emplace_back(text); }
  std::vector<std::string> texts;
};

TEST(ProgressChannel, DropsWholeLinesForAFullPipeAndEndsAfterWhatItHeld) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
  constexpr std::uint64_t k_events = 2000;  // far more than the pipe and the held lines take
  CollectedWarnings warnings;
  std::string read;
  std::thread reader;
  {
    ProgressChannel channel(std::to_string(ends[1]), warnings);
    ::close(ends[1]);
    // None of these calls may wait for the reader, which has not begun.
    for (std::uint64_t i = 0; i < k_events; ++i) {
      EXPECT_TRUE(channel.progress({ScanPhase::checking_files, i, k_events, 0, 0}));
    }
    reader = std::thread([&] {
      char buffer[4096];
      for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
        read.append(buffer, static_cast<std::size_t>(n));
      }
    });
    channel.end(0, std::nullopt);
  }  // the channel's descriptor, the pipe's last write end, is closed: the reader sees the end
  reader.join();
  ::close(ends[0]);
  EXPECT_EQ(warnings.texts, std::vector<std::string>());

  // The first events, whole and in order, then nothing of the dropped ones, then the end.
  const std::string end = "{\"event\":\"end\",\"exitStatus\":0,\"failure\":null}\n";
  ASSERT_TRUE(read.ends_with(end)) << read.substr(read.size() < 200 ? 0 : read.size() - 200);
  std::string expected;
  std::uint64_t kept = 0;
  while (expected.size() + end.size() < read.size()) {
    expected += "{\"event\":\"progress\",\"phase\":\"checking_files\",\"filesDone\":" +
                std::to_string(kept++) +
                ",\"filesTotal\":2000,\"bytesHashed\":0,\"bytesToHash\":0}\n";
  }
  EXPECT_EQ(read, expected + end);
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, k_events);
}

}  // namespace
}  // namespace quendal
