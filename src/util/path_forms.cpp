#include "util/path_forms.h"

#include "util/text.h"

namespace quendal {

std::string normalize_relative_path(std::string_view path) {
  std::string result;
  result.reserve(path.size());
  for_each_path_segment(path, [&](std::string_view segment) {
    if (!result.empty()) result += '/';
    result += segment;
  });
  ascii_lower_in_place(result);
  return result;
}

std::string normalize_root_path(std::string_view path) {
  std::string result(trim_white_space(path));
  for (char& c : result) {
    if (c == '\\') c = '/';
  }
  while (!result.empty() && result.back() == '/') result.pop_back();
  ascii_lower_in_place(result);
  return result;
}

}  // namespace quendal
