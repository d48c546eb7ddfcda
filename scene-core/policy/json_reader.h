// Reading JSON text into a tree. The tree is the one nlohmann's parser
// builds (same values, same number kinds, keys in document order, the last
// of duplicate keys winning at the first one's place), but the reading takes
// time linear in the text: nlohmann's ordered objects look each new key up
// by a linear search, which lets one object of a few hundred thousand keys
// in a hostile document hold the caller for minutes. Nesting deeper than
// kMaxJsonDepth is refused, and so is anything but blanks after the value
// (nlohmann stops reading at a NUL byte and ignores the rest). The document's fuzz target checks the tree
// against nlohmann's parser.
#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/error.h"

namespace zorva::scene {

inline constexpr size_t kMaxJsonDepth = 512;

// The tree, or a syntax error naming the byte offset where it was found.
Result<nlohmann::ordered_json> readJson(std::string_view text);

}  // namespace zorva::scene
