// Writing the scene document as JSON straight from the model, without
// building a JSON tree first: the document is written on every change, and
// its lists can hold many thousands of paths. The text is exactly what
// nlohmann's dump(2) writes for the tree that to_json builds (the fuzz
// target of the document checks that), so documents keep their form.
#pragma once

#include <string>

#include "common/error.h"
#include "policy/policy.h"

namespace zorva::scene {

// Pretty-printed with two blanks per level and a final newline. Text that
// is not valid UTF-8 cannot be written as JSON: an error.
Result<std::string> writePolicyJson(const Policy &policy);

}  // namespace zorva::scene
