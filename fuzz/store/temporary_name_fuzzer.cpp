// Feeds arbitrary directory entry names to the matcher that decides which
// files beside the store (or the scene document) a save may delete as stale
// temporaries. Input: the target's name, a newline, the entry's name. A name
// is ours exactly when it is "." + target + ".tmp." + 1 to 10 decimal digits
// + "." + 16 lower-case hexadecimal digits; anything else must be left alone.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "sysutil/atomic_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 512)
        return 0;
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t nl = input.find('\n');
    std::string target = nl == std::string::npos ? std::string("container.xml") : input.substr(0, nl);
    std::string name = nl == std::string::npos ? input : input.substr(nl + 1);

    static const std::regex kTail("[0-9]{1,10}\\.[0-9a-f]{16}");
    const std::string prefix = "." + target + ".tmp.";
    bool expected = name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
                    std::regex_match(name.substr(prefix.size()), kTail);
    if (vrex::sys::isTemporaryNameOf(name, target) != expected)
        std::abort();
    return 0;
}
