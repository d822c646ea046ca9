#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace quendal::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    std::ostringstream name;
    name << "quendal-test-" << std::hex << random();
    m_path = base / name.str();
    if (fs::create_directory(m_path)) return;  // false: the name was taken, draw again
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(m_path, ignored);
}

std::string TempDir::path(std::string_view relative) const {
  std::string text = m_path.generic_string();
  if (!relative.empty()) {
    text += '/';
    text += relative;
  }
  return text;
}

std::string TempDir::disk_path(std::string_view relative) const {
  return m_path.generic_string() + platform::k_path_separator + native(std::string(relative));
}

void write_file(const std::string& path, std::string_view content) {
  const fs::path target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
    names.push_back(entry.path().filename().generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string patterned_content(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    content[i] = static_cast<char>((i * 131 + i / 8191) % 251);
  }
  return content;
}

std::string native(std::string relative) {
  for (char& c : relative) {
    if (c == '/') c = platform::k_path_separator;
  }
  return relative;
}

std::string overlong_name() { return std::string(256, 'n'); }

bool on_windows() { return platform::k_path_separator == '\\'; }

std::string refused_name() { return on_windows() ? "bad<name" : overlong_name(); }

std::string client_root(const std::string& path) {
  const std::string canonical = fs::canonical(path).string();
  return on_windows() ? "\\\\?\\" + native(canonical) : canonical;
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& path)
    : m_previous(fs::current_path()) {
  fs::current_path(path);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() { fs::current_path(m_previous); }

::testing::AssertionResult is_failure_text(const std::string& error, const std::string& fixed,
                                           std::string_view posix_cause,
                                           unsigned long windows_error) {
  const std::optional<std::string> cause = expected_cause(posix_cause, windows_error);
  const std::string expected = fixed + cause.value_or("");
  if (cause ? error == expected : error.starts_with(fixed)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "failure text\n  actual:   " << error << "\n  expected: " << expected;
}

}  // namespace quendal::test
