// Splitting a path into its directory and its name.
#pragma once

#include <string>
#include <string_view>

namespace vrex::sys {

// The directory that holds `path`: "." when the path has no slash, "/" for a
// name directly below the root, else everything before the last slash.
std::string directoryOf(std::string_view path);

// The name after the last slash (the whole path when it has none).
std::string_view baseNameOf(std::string_view path);

}  // namespace vrex::sys
