// Feeds arbitrary bytes to the policy text parser, which reads the old
// policy file from disk. What parses must render and parse back to the same
// model, and rendering is a fixed point from then on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "policy/policy_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20))
        return 0;
    using namespace zorva::scene;
    auto parsed = parsePolicyText(std::string(reinterpret_cast<const char *>(data), size));
    if (!parsed)
        return 0;
    PolicyText rendered = renderPolicyText(parsed.value().model);
    auto again = parsePolicyText(rendered.text);
    if (!again || !(again.value().model == parsed.value().model) ||
        renderPolicyText(again.value().model).text != rendered.text)
        std::abort();
    return 0;
}
