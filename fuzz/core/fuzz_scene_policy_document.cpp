// Feeds bytes to the scene policy document parser. Whatever parses must dump
// and parse back to the same document: a difference is a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "policy/policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20))
        return 0;
    using namespace zorva::scene;
    auto policy = parsePolicy(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!policy)
        return 0;
    auto text = dumpPolicy(policy.value());
    if (!text)
        std::abort();
    auto again = parsePolicy(text.value());
    if (!again)
        std::abort();
    // The read-only module flags are not written, so compare dumps.
    auto textAgain = dumpPolicy(again.value());
    if (!textAgain || textAgain.value() != text.value())
        std::abort();
    return 0;
}
