// Diagnostic lines of the library: one line each on standard output, flushed
// at once so that they interleave correctly with the caller's own output.
#pragma once

#include <string>

namespace zorva::scene {

void printLine(const std::string &line);

}  // namespace zorva::scene
