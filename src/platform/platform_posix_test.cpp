#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
  Result<FileContent> status = read_file("/proc/self/status");  // its length reads as 0
  ASSERT_TRUE(status.ok()) << status.error();
  EXPECT_TRUE(status->text().starts_with("Name:")) << status->text();
}

// Whether a read waited for the device decides whether the read-ahead starts; the data must
// come back whole either way, however much of the file the cache held.
TEST(InputFileRead, TellsACachedReadFromOneThatWaitedAndReadsEveryByte) {
  test::TempDir temp;
  std::string content(3 * 65536 + 100, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_TRUE(write_file(temp.path("f"), content).ok());
  const auto evict = [&](off_t offset, off_t length) {
    const int fd = ::open(temp.path("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fdatasync(fd), 0);
    ASSERT_EQ(::posix_fadvise(fd, offset, length, POSIX_FADV_DONTNEED), 0);
    ::close(fd);
  };
  struct Case {
    const char* name;
    off_t evict_from;  // -1: nothing evicted
    InputFile::ReadSource expected;
  };
  const Case cases[] = {
      {"all cached", -1, InputFile::ReadSource::cache},
      {"none cached", 0, InputFile::ReadSource::device},
      {"cached up to the second page", 4096, InputFile::ReadSource::device},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    (void)test::read_file(temp.path("f"));
    if (c.evict_from >= 0) evict(c.evict_from, 0);
    Result<InputFile> file = InputFile::open(temp.path("f"));
    ASSERT_TRUE(file.ok()) << file.error();
    std::string read(content.size() + 10, '\0');
    InputFile::ReadSource source = InputFile::ReadSource::unknown;
    Result<std::size_t> n =
        file->read(reinterpret_cast<std::byte*>(read.data()), read.size(), &source);
    ASSERT_TRUE(n.ok()) << n.error();
    EXPECT_EQ(*n, content.size());
    EXPECT_EQ(read.substr(0, *n), content);
    EXPECT_EQ(source, c.expected);
    n = file->read(reinterpret_cast<std::byte*>(read.data()), read.size(), &source);
    ASSERT_TRUE(n.ok()) << n.error();
    EXPECT_EQ(*n, 0u);
  }
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

TEST(FileMetadata, TellsTheKindAndWhichFileAPathLeadsTo) {
  test::TempDir temp;
  test::write_file(temp.path("a"), "abc");
  test::write_file(temp.path("b"), "abc");
  fs::create_hard_link(temp.path("a"), temp.path("a2"));
  fs::create_symlink(temp.path("a"), temp.path("link"));
  const auto metadata = [&](const std::string& path) { return **file_metadata(path); };
  EXPECT_EQ(metadata(temp.path("a")).identity, metadata(temp.path("a2")).identity);
  EXPECT_EQ(metadata(temp.path("a")).identity, metadata(temp.path("link")).identity);
  EXPECT_NE(metadata(temp.path("a")).identity, metadata(temp.path("b")).identity);
  EXPECT_EQ(metadata(temp.path("a")).kind, FileKind::regular);
  EXPECT_EQ(metadata(temp.path()).kind, FileKind::directory);
  EXPECT_EQ(metadata("/dev/null").kind, FileKind::other);
  expect_failure(require_regular_file(metadata(temp.path())), "Is a directory");
  expect_failure(require_regular_file(metadata("/dev/null")), "Not a regular file");
}

TEST(InputFileOpen, LooksThroughAFinalLinkBeforeOpeningAnything) {
  test::TempDir temp;
  test::write_file(temp.path("file"), "abc");
  ASSERT_EQ(::mkfifo(temp.path("fifo").c_str(), 0600), 0);
  const std::pair<const char*, const char*> refused[] = {{"fifo", "Not a regular file"},
                                                         {"/dev/null", "Not a regular file"},
                                                         {".", "Is a directory"},
                                                         {"nowhere", "No such file or directory"}};
  for (const auto& [target, cause] : refused) {
    const std::string link = temp.path(std::string("to_") + (target[0] == '/' ? "dev" : target));
    fs::create_symlink(target, link);
    expect_failure(InputFile::open(link), cause);
  }
  fs::create_symlink("file", temp.path("to_file"));
  Result<InputFile> opened = InputFile::open(temp.path("to_file"));
  ASSERT_TRUE(opened.ok()) << opened.error();
  EXPECT_EQ(opened->metadata().identity, (*file_metadata(temp.path("file")))->identity);
  EXPECT_EQ(opened->metadata().length, 3u);
}

TEST(OutputFileCreateNew, ReplacesWhatStandsAtTheNameAndNeverFollowsIt) {
  test::TempDir temp;
  test::write_file(temp.path("decoy"), "secret");
  // What a less trusted user may have planted at the name, and what create_new then finds.
  const std::pair<const char*, const char*> planted[] = {{"link to a file", nullptr},
                                                         {"dangling link", nullptr},
                                                         {"file", nullptr},
                                                         {"nothing", nullptr},
                                                         {"directory", "Is a directory"}};
  for (const auto& [what, cause] : planted) {
    SCOPED_TRACE(what);
    const std::string name = temp.path("c.json.tmp-1");
    fs::remove_all(name);
    const std::string_view kind = what;
    if (kind == "link to a file") fs::create_symlink(temp.path("decoy"), name);
    if (kind == "dangling link") fs::create_symlink(temp.path("created"), name);
    if (kind == "file") test::write_file(name, "an older copy");
    if (kind == "directory") fs::create_directory(name);
    Result<OutputFile> file = OutputFile::create_new(name, 0600);
    if (cause != nullptr) {
      expect_failure(file, cause);
      continue;
    }
    ASSERT_TRUE(file.ok()) << file.error();
    ASSERT_TRUE(file->write("new").ok());
    ASSERT_TRUE(file->close().ok());
    EXPECT_EQ(test::read_file(name), "new");
    EXPECT_EQ(fs::symlink_status(name).type(), fs::file_type::regular);
    EXPECT_EQ(fs::status(name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(test::read_file(temp.path("decoy")), "secret");
  EXPECT_FALSE(fs::exists(temp.path("created")));
}

// Links owned by someone else need root to be made; the tests run as root.
class ForeignLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "making a link owned by another user needs root";
    }
    test::write_file(temp.path("decoy"), "secret");
  }
  void link(const std::string& target, const std::string& name, bool foreign) {
    fs::create_symlink(target, temp.path(name));
    if (foreign) {
      ASSERT_EQ(::lchown(temp.path(name).c_str(), 65534, 65534), 0);
    }
  }
  test::TempDir temp;
};

TEST_F(ForeignLinks, AreNeverFollowedToReadOrWrite) {
  link("decoy", "foreign", true);
  link("foreign", "own_to_foreign", false);
  link(temp.path("decoy"), "own", false);
  fs::create_directory(temp.path("sub"));
  link("../decoy", "sub/own_relative", false);
  for (const char* name : {"foreign", "own_to_foreign"}) {
    SCOPED_TRACE(name);
    expect_failure(read_file(temp.path(name), FinalLink::owned_only),
                   std::string(k_foreign_link_cause));
    expect_failure(OutputFile::create(temp.path(name), FinalLink::owned_only),
                   std::string(k_foreign_link_cause));
    EXPECT_TRUE(read_file(temp.path(name), FinalLink::follow).ok());
  }
  EXPECT_EQ(test::read_file(temp.path("decoy")), "secret");
  for (const char* name : {"own", "sub/own_relative"}) {
    Result<FileContent> content = read_file(temp.path(name), FinalLink::owned_only);
    ASSERT_TRUE(content.ok()) << name << ": " << content.error();
    EXPECT_EQ(content->text(), "secret");
  }
  link("absent", "foreign_dangling", true);
  expect_failure(OutputFile::create(temp.path("foreign_dangling"), FinalLink::owned_only),
                 std::string(k_foreign_link_cause));
  EXPECT_FALSE(fs::exists(temp.path("absent")));
}

TEST_F(ForeignLinks, TheKernelsOwnLinksStillLeadToAPipe) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  // As /dev/stdout does: a root's link to /proc/self/fd/N, which names no path of its own.
  link("/proc/self/fd/" + std::to_string(pipe_ends[1]), "stdout", false);
  Result<OutputFile> file = OutputFile::create(temp.path("stdout"), FinalLink::owned_only);
  ASSERT_TRUE(file.ok()) << file.error();
  ASSERT_TRUE(file->write("report").ok());
  ASSERT_TRUE(file->close().ok());
  ::close(pipe_ends[1]);
  char got[16] = {};
  EXPECT_EQ(::read(pipe_ends[0], got, sizeof got), 6);
  EXPECT_STREQ(got, "report");
  ::close(pipe_ends[0]);
}

}  // namespace
}  // namespace quendal::platform
