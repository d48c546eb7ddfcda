// Turns arbitrary scene documents into policy text. Either the generator
// refuses the document (as a generation failure), or the text reads back
// into exactly the sections it was made from, with one line per section
// boundary, variable and rule: no value may add, end or change a line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "policy/policy_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20))
        return 0;
    using namespace zorva::scene;
    auto policy = parsePolicy(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!policy)
        return 0;
    auto text = generatePolicyText(policy.value());
    if (!text) {
        if (text.error().code() != codeForKind(ErrorKind::PolicyGenerateFailed))
            std::abort();
        return 0;
    }
    auto back = parsePolicyText(text.value().text);
    if (!back || !(back.value().model == text.value().model))
        std::abort();
    size_t lines = 3;  // format, comment, scene
    for (size_t i = 0; i < text.value().model.sections.size(); ++i) {
        const PolicySection &s = text.value().model.sections[i];
        lines += 2 + s.variables.size() + s.rules.size();
        if (back.value().sectionText(i) != text.value().sectionText(i))
            std::abort();
    }
    size_t newlines = 0;
    for (char c : text.value().text)
        newlines += c == '\n';
    if (newlines != lines || generatePolicyText(policy.value()).value().text != text.value().text)
        std::abort();
    return 0;
}
