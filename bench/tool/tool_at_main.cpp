// container-policy-tool with its two paths given first:
//   container-policy-tool-at STORE KERNEL COMMAND [ARG...]
// For benchmarks only; never installed.
#include <cstdio>
#include <string>

#include "policy_tool.h"

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fputs("usage: container-policy-tool-at STORE KERNEL COMMAND [ARG...]\n", stderr);
        return 2;
    }
    // The kernel table's lock beside the store, taken as the installed tool takes its own.
    const std::string lock = std::string(argv[1]) + ".table.lock";
    const policy_tool::ToolPaths paths{argv[1], argv[2], lock.c_str()};
    argv[2] = argv[0];
    return policy_tool::run(argc - 2, argv + 2, paths);
}
