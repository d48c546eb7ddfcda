// Shared pieces of the end-to-end tests: the built tool run at the fixed
// paths inside the test sandbox, and the state of the kernel file and store.
#pragma once

#include <string>
#include <vector>

#include "record_fixtures.h"
#include "system_paths.h"
#include "test_util.h"

namespace tool_e2e {

inline const std::string &kKernel = vrex::testing::kKernelStatusPath;
inline const std::string &kStoreDir = vrex::testing::kStoreDirectory;
inline const std::string &kStore = vrex::testing::kStorePath;

// The tool as built; its usage text names it by this path.
const std::string &tool();
vrex::testing::ProcessResult runTool(const std::vector<std::string> &args);

// The usage text, byte for byte, for the program name `prog`.
std::string usage(const std::string &prog);

// The 69 bytes of one record as the kernel receives them, and the store's
// line for one record.
using vrex::testing::recordBytes;
using vrex::testing::storeLine;

// No store directory, an empty kernel file (when it is a regular file).
void resetState();
void makeStoreDir();

}  // namespace tool_e2e
