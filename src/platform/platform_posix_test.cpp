#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/platform.h"
#include "test_support.h"

namespace quendal::platform {
namespace {

namespace fs = std::filesystem;

template <typename T>
void expect_failure(const Result<T>& result, const std::string& cause) {
  ASSERT_FALSE(result.ok()) << "expected " << cause;
  EXPECT_EQ(result.error(), cause);
}

TEST(ParentPath, DropsTheFinalComponentAndTheSeparatorsBeforeIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"dir/c.json", "dir"}, {"c.json", ""},    {"/c.json", "/"},        {"a/b//c.json", "a/b"},
      {"//c.json", "/"},     {"./c.json", "."}, {"../x/c.json", "../x"}, {"/", "/"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_path(path), parent) << path;
}

TEST(FinalComponent, IsTheTextAfterTheLastSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"dir/c.json", "c.json"}, {"c.json", "c.json"}, {"/a/.hashes", ".hashes"}, {"dir/", ""},
      {"a\\b", "a\\b"},  // a backslash is an ordinary character
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(final_component(path), name) << path;
}

TEST(FileMetadata, NotFoundIsEnoentOrEnotdir) {
  test::TempDir temp;
  test::write_file(temp.path("file"), "x");
  fs::create_symlink(temp.path("nowhere"), temp.path("dangling"));
  for (const char* missing : {"none", "none/x", "file/x", "dangling"}) {
    Result<std::optional<FileMetadata>> metadata = file_metadata(temp.path(missing));
    ASSERT_TRUE(metadata.ok()) << missing << ": " << metadata.error();
    EXPECT_FALSE(metadata->has_value()) << missing;
  }
}

TEST(FileMetadata, ALinkLoopOrAnOverlongNameIsAFailure) {
  test::TempDir temp;
  fs::create_symlink(temp.path("loop_b"), temp.path("loop_a"));
  fs::create_symlink(temp.path("loop_a"), temp.path("loop_b"));
  expect_failure(file_metadata(temp.path("loop_a")), "Too many levels of symbolic links");
  expect_failure(file_metadata(temp.path(test::overlong_name())), "File name too long");
}

TEST(FileMetadata, FollowsLinks) {
  test::TempDir temp;
  test::write_file(temp.path("target"), "12345");
  test::set_modified_time(temp.path("target"), 1769817600, 900000000);
  fs::create_symlink(temp.path("target"), temp.path("link"));
  Result<std::optional<FileMetadata>> metadata = file_metadata(temp.path("link"));
  ASSERT_TRUE(metadata.ok() && metadata->has_value());
  EXPECT_EQ((*metadata)->length, 5u);
  EXPECT_EQ(to_modified_seconds((*metadata)->last_write), 1769817600);
}

TEST(InputFileOpen, RefusesWhatIsNotARegularFileWithoutBlocking) {
  test::TempDir temp;
  ASSERT_EQ(::mkfifo(temp.path("fifo").c_str(), 0600), 0);
  // A FIFO without a writer: a blocking open would never return.
  expect_failure(InputFile::open(temp.path("fifo")), "Not a regular file");
  expect_failure(read_file(temp.path("fifo")), "Not a regular file");
  expect_failure(InputFile::open("/dev/null"), "Not a regular file");
  expect_failure(InputFile::open(temp.path()), "Is a directory");
  expect_failure(read_file(temp.path()), "Is a directory");
}

TEST(ReadFile, ReadsAFileThatIsLongerThanItsMetadataSays) {
  Result<std::string> status = read_file("/proc/self/status");  // its length reads as 0
  ASSERT_TRUE(status.ok()) << status.error();
  EXPECT_TRUE(status->starts_with("Name:")) << *status;
}

TEST(WriteFile, TruncatesAndReportsAFailedWrite) {
  test::TempDir temp;
  ASSERT_TRUE(write_file(temp.path("f"), "a longer first content").ok());
  ASSERT_TRUE(write_file(temp.path("f"), "short").ok());
  EXPECT_EQ(test::read_file(temp.path("f")), "short");
  expect_failure(write_file("/dev/full", "x"), "No space left on device");
}

TEST(CreateDirectories, CreatesEveryMissingLevelAndAcceptsExistingOnes) {
  test::TempDir temp;
  ASSERT_TRUE(create_directories(temp.path("a/b/c")).ok());
  EXPECT_TRUE(create_directories(temp.path("a/b/c")).ok());
  EXPECT_TRUE(fs::is_directory(temp.path("a/b/c")));
  test::write_file(temp.path("file"), "x");
  expect_failure(create_directories(temp.path("file")), "Not a directory");
  expect_failure(create_directories(temp.path("file/sub/deeper")), "Not a directory");
}

TEST(CanonicalDirectory, ResolvesLinksAndDotSegments) {
  test::TempDir temp;
  fs::create_directories(temp.path("real/sub"));
  fs::create_directory_symlink(temp.path("real"), temp.path("link"));
  const std::string real = fs::canonical(temp.path("real")).string();
  for (const char* typed : {"real", "link", "link/", "link/sub/..", "real/./sub/../"}) {
    Result<std::string> resolved = canonical_directory(temp.path(typed));
    ASSERT_TRUE(resolved.ok()) << typed << ": " << resolved.error();
    EXPECT_EQ(*resolved, real) << typed;
  }
  test::ScopedCurrentDirectory inside(temp.path("link"));
  Result<std::string> relative = canonical_directory("sub/..");
  ASSERT_TRUE(relative.ok()) << relative.error();
  EXPECT_EQ(*relative, real);
  expect_failure(canonical_directory(temp.path("none")), "No such file or directory");
}

}  // namespace
}  // namespace quendal::platform
