// Saved position text: never crashes, and whatever it accepts survives a
// write and a re-read unchanged.
#include "position.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096)
        return 0;
    std::string_view text(reinterpret_cast<const char *>(data), size);
    auto position = vrex::parsePosition(text);
    if (position) {
        auto again = vrex::parsePosition(vrex::formatPosition(*position));
        if (!again || !(*again == *position))
            std::abort();
    }
    return 0;
}
