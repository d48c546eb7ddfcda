// Feeds arbitrary product information files to the line that selects the
// plugin manager library's directory. A selected directory is absolute and
// holds no NUL byte and no line break.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/pluginmgr_bridge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > zorva::scene::kMaxProductInfoBytes)
        return 0;
    auto dir =
        zorva::scene::selectedPluginManagerDirectory(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!dir || !dir.value())
        return 0;
    const std::string &d = *dir.value();
    if (d.empty() || d.front() != '/' || d.find('\0') != d.npos || d.find('\n') != d.npos)
        std::abort();
    return 0;
}
