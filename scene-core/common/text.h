// Checks on text handed in by callers.
#pragma once

#include <string_view>

namespace zorva::scene {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

}  // namespace zorva::scene
