// Feeds arbitrary bytes to the configuration parser: it must never crash,
// and whatever it accepts must be a usable setting.
#include "config.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1 << 16))
        return 0;
    std::vector<std::string> warnings;
    vrex::Config config = vrex::parseConfig(std::string_view(reinterpret_cast<const char *>(data), size), &warnings);
    // The two log paths are never set empty, and no value holds a NUL byte
    // (it would cut the path short at the system call).
    if (config.inputLog.empty() || config.outputLog.empty())
        __builtin_trap();
    for (const std::string *value : {&config.inputLog, &config.outputLog, &config.positionFile})
        if (value->find('\0') != std::string::npos)
            __builtin_trap();
    return 0;
}
