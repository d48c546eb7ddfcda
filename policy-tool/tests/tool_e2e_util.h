// Shared pieces of the end-to-end tests: the built tool run at the fixed
// paths inside the test sandbox, and the state of the kernel file and store.
#pragma once

#include <string>
#include <vector>

#include "test_util.h"

namespace tool_e2e {

inline const std::string kKernel = "/sys/kernel/security/vrex/policy_docker/dockerstatus";
inline const std::string kStoreDir = "/etc/vrex/container";
inline const std::string kStore = "/etc/vrex/container/container.xml";

// The tool as built; its usage text names it by this path.
const std::string &tool();
vrex::testing::ProcessResult runTool(const std::vector<std::string> &args);

// The usage text, byte for byte, for the program name `prog`.
std::string usage(const std::string &prog);

// The 69 bytes of one record as the kernel receives them.
std::string record(const std::string &id, int global, int exec, int net, int file);
// The store's line for one record.
std::string storeLine(const std::string &id, int global, int exec, int net, int file);

// No store directory, an empty kernel file (when it is a regular file).
void resetState();
void makeStoreDir();

}  // namespace tool_e2e
