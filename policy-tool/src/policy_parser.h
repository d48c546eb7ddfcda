// The policy spec given to "write -p": one or more policies separated by ';',
// each "id:global:exec:net:file". Parsing is pure: text in, records or the
// error text out, so that nothing is written unless the whole spec is good.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "vault_store.h"

namespace policy_tool {

// One program argument holds at most this many bytes (the kernel's limit
// of 32 pages, less the terminating NUL); longer text is refused, never cut.
inline constexpr std::size_t kMaxSpecLength = 131071;

struct SpecResult {
    std::vector<_ContainerPolicy> policies;
    // The messages for the first malformed policy, each line ending in '\n';
    // empty when the policy argument parsed.
    std::string error;

    bool ok() const { return error.empty(); }
};

SpecResult parse_policy_arg(std::string_view spec);

}  // namespace policy_tool
