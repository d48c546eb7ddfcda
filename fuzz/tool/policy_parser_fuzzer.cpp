// Feeds arbitrary bytes to the "write -p" spec parser and checks what it
// promises: either every policy it returns is well formed, or it returns none
// and says why.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "container_record.h"
#include "policy_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The parser's own cap is one argument's length; fuzz a bit beyond it.
    if (size > policy_tool::kMaxSpecLength + 16)
        return 0;
    std::string_view spec(reinterpret_cast<const char *>(data), size);
    policy_tool::SpecResult r = policy_tool::parse_policy_arg(spec);
    if (r.ok()) {
        if (r.policies.empty())
            std::abort();
        // Each policy is at least "64 hex chars" and four ":n", joined by ';'.
        if (r.policies.size() * 72 > size + 1)
            std::abort();
        for (const auto &p : r.policies)
            if (!vrex::record::isValidContainerId(p.container_id))
                std::abort();
    } else {
        if (!r.policies.empty() || r.error.back() != '\n')
            std::abort();
    }
    return 0;
}
