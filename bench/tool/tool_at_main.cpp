// container-policy-tool with its two paths given first:
//   container-policy-tool-at STORE KERNEL COMMAND [ARG...]
// For benchmarks only; never installed.
#include <cstdio>

#include "policy_tool.h"

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fputs("usage: container-policy-tool-at STORE KERNEL COMMAND [ARG...]\n", stderr);
        return 2;
    }
    const policy_tool::ToolPaths paths{argv[1], argv[2]};
    argv[2] = argv[0];
    return policy_tool::run(argc - 2, argv + 2, paths);
}
