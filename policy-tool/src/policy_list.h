// Renders stored records for the "list" command: a table for people, a JSON
// array for scripts.
#pragma once

#include <cstdint>
#include <string>

#include "vault_store.h"

namespace policy_tool {

// "OFF", "ON", "SOFTMODE", or "UNKNOWN(n)" for a value the kernel does not define.
std::string global_switch_name(std::uint8_t value);
// "DISABLED", "ENABLED", or "UNKNOWN(n)".
std::string control_switch_name(std::uint8_t value);

// A header line and one line per record, values named.
std::string format_policy_table(const _ContainerPolicy *policies, int count);
// [{"id": ..., "global": n, "exec": n, "net": n, "file": n}, ...] and a newline.
std::string format_policy_json(const _ContainerPolicy *policies, int count);

}  // namespace policy_tool
