// The comparison forms of paths: the normal form in which relative manifest paths are compared,
// and the root form in which whole directory paths are compared. Pure computation on text.
#pragma once

#include <string>
#include <string_view>

namespace quendal {

// Cut at "/" and "\", blank segments dropped, joined with "/", A-Z lowered. Segments such as
// ".." and "C:" are kept as they are: nothing is resolved.
std::string normalize_relative_path(std::string_view path);

// White space trimmed from both ends, "\" turned into "/", trailing "/" removed, A-Z lowered.
std::string normalize_root_path(std::string_view path);

}  // namespace quendal
