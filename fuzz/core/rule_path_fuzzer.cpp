// Feeds arbitrary paths to the rules a file or network rule's path must
// follow. An accepted path is absolute, normalised, valid UTF-8 without
// control characters and at most 4095 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/path_rules.h"
#include "common/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192)
        return 0;
    using namespace zorva::scene;
    std::string_view path(reinterpret_cast<const char *>(data), size);
    if (!checkRulePath(path))
        return 0;
    if (path.size() > kMaxRulePathBytes || path.empty() || path.front() != '/')
        std::abort();
    if (path != "/") {
        for (size_t start = 1; start <= path.size();) {
            size_t end = path.find('/', start);
            std::string_view part = path.substr(start, end == path.npos ? path.npos : end - start);
            if (part.empty() || part == "." || part == "..")
                std::abort();
            start = end == path.npos ? path.size() + 1 : end + 1;
        }
    }
    const auto *p = data;
    while (p < data + size) {
        uint32_t cp;
        size_t n = decodeUtf8(p, data + size, cp);
        if (n == 0 || isControlCodePoint(cp))
            std::abort();
        p += n;
    }
    return 0;
}
