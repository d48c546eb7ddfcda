#include "tool_e2e_util.h"

#include <sys/stat.h>

#include <filesystem>

namespace tool_e2e {

const std::string &tool() {
    static const std::string path = VREX_TOOL_BINARY;
    return path;
}

vrex::testing::ProcessResult runTool(const std::vector<std::string> &args) {
    std::vector<std::string> argv{tool()};
    argv.insert(argv.end(), args.begin(), args.end());
    return vrex::testing::runProcess(argv);
}

std::string usage(const std::string &prog) {
    return "VREX Container Policy Tool\n"
           "Usage:\n"
           "  " +
           prog +
           " write -p <policy>           Write specific policy\n"
           "  " +
           prog +
           " read                        Read current policies\n"
           "  " +
           prog +
           " clear                       Clear all policies\n"
           "  " +
           prog +
           " sync                        Sync XML policies to kernel\n"
           "  " +
           prog +
           " help                        Show this help message\n"
           "  " +
           prog +
           " list [--json]               List policies stored in XML\n"
           "\nOptions for write command:\n"
           "  -p, --policy <spec>           Specify policy in format: id:global:exec:net:file\n"
           "                                Multiple policies separated by semicolon\n"
           "  -n, --no-xml                  Do not persist to XML (only write to sysfs)\n"
           "\nPolicy format examples:\n"
           "  Single: a1b2c3...:4:1:0:1\n"
           "  Multiple: id1:4:1:0:1;id2:0:0:0:0;id3:2:1:1:1\n"
           "\nSwitch values:\n"
           "  Global: 0=OFF, 2=ON, 4=SOFTMODE\n"
           "  Exec/Net/File: 0=DISABLED, 1=ENABLED\n";
}

void resetState() {
    std::filesystem::remove_all(kStoreDir);
    struct stat st;
    if (::stat(kKernel.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        vrex::testing::writeFile(kKernel, "");
}

void makeStoreDir() { std::filesystem::create_directories(kStoreDir); }

}  // namespace tool_e2e
