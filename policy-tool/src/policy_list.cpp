#include "policy_list.h"

#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "container_record.h"

namespace policy_tool {
namespace {

namespace record = vrex::record;

std::string unknown(std::uint8_t value) { return "UNKNOWN(" + std::to_string(value) + ")"; }

// The identifier field holds 64 characters and a NUL; never read past it.
std::string id_of(const _ContainerPolicy &policy) {
    return std::string(policy.container_id, strnlen(policy.container_id, sizeof policy.container_id - 1));
}

void append_row(std::string &out, const std::string &id, const std::string &global, const std::string &exec,
                const std::string &net, const std::string &file) {
    char line[256];
    int n = std::snprintf(line, sizeof line, "%-64s  %-12s  %-12s  %-12s  %s\n", id.c_str(), global.c_str(),
                          exec.c_str(), net.c_str(), file.c_str());
    if (n > 0)
        out.append(line, static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1);
}

}  // namespace

std::string global_switch_name(std::uint8_t value) {
    switch (value) {
    case record::kGlobalOff:
        return "OFF";
    case record::kGlobalOn:
        return "ON";
    case record::kGlobalSoftMode:
        return "SOFTMODE";
    default:
        return unknown(value);
    }
}

std::string control_switch_name(std::uint8_t value) {
    switch (value) {
    case record::kControlDisabled:
        return "DISABLED";
    case record::kControlEnabled:
        return "ENABLED";
    default:
        return unknown(value);
    }
}

std::string format_policy_table(const _ContainerPolicy *policies, int count) {
    std::string out;
    append_row(out, "ID", "GLOBAL", "EXEC", "NET", "FILE");
    for (int i = 0; policies != nullptr && i < count; ++i) {
        const _ContainerPolicy &p = policies[i];
        append_row(out, id_of(p), global_switch_name(p.global_switch), control_switch_name(p.exec_control),
                   control_switch_name(p.network_control), control_switch_name(p.file_protection));
    }
    return out;
}

std::string format_policy_json(const _ContainerPolicy *policies, int count) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (int i = 0; policies != nullptr && i < count; ++i) {
        const _ContainerPolicy &p = policies[i];
        array.push_back({{"id", id_of(p)},
                         {"global", static_cast<unsigned>(p.global_switch)},
                         {"exec", static_cast<unsigned>(p.exec_control)},
                         {"net", static_cast<unsigned>(p.network_control)},
                         {"file", static_cast<unsigned>(p.file_protection)}});
    }
    // Identifiers reaching here passed the store's hexadecimal rule; replace
    // anything else rather than throw.
    return array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace policy_tool
