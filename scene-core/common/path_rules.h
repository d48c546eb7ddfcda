// The rules a path must follow before it may enter a file-control or
// network-control list: absolute, normalised, valid UTF-8, free of control
// characters, at most kMaxRulePathBytes bytes.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/error.h"

namespace zorva::scene {

inline constexpr size_t kMaxRulePathBytes = 4095;

// Success, or an invalid-argument error saying which rule the path breaks.
// The error's text quotes the path escaped, so that it prints as one line.
Status checkRulePath(std::string_view path);

}  // namespace zorva::scene
