// container-policy-tool: the administrator's command line over the kernel's
// container policy table and the store file.
#include "policy_tool.h"
#include "store_core.h"

int main(int argc, char **argv) {
    policy_tool::prepare_standard_streams();
    const policy_tool::ToolPaths paths{vault::kDefaultStorePath, vault::kKernelStatusPath,
                                       vrex::record::kKernelTableLockPath};
    return policy_tool::run(argc, argv, paths);
}
