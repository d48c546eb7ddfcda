// Feeds bytes to the scene policy document parser. Whatever parses must dump
// and parse back to the same document, and the document writer must write
// exactly what nlohmann's dump(2) writes for the same tree: a difference is
// a crash. Small inputs without NUL bytes are also read by nlohmann's own
// parser: both must accept the same texts (but for nesting beyond our limit)
// and build the same tree. (nlohmann stops reading at a NUL byte and ignores
// what follows; we refuse it.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "policy/json_reader.h"
#include "policy/policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20))
        return 0;
    using namespace zorva::scene;
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    if (size <= 65536 && bytes.find('\0') == std::string_view::npos) {
        auto ours = readJson(bytes);
        bool theirs = Json::accept(bytes);
        if (ours.ok() != theirs && !(theirs && ours.error().chain().find("nesting deeper") != std::string::npos))
            std::abort();
        if (ours.ok() && !(ours.value() == Json::parse(bytes)))
            std::abort();
    }
    auto policy = parsePolicy(bytes);
    if (!policy)
        return 0;
    auto text = dumpPolicy(policy.value());
    if (!text)
        std::abort();
    Json tree = policy.value();
    if (tree.dump(2) + "\n" != text.value())
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
