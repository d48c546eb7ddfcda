#include "host_args.h"

#include <cstring>
#include <iterator>

namespace zorva::plugin_host {

namespace {

constexpr const char *kPrefix = "zorva_scene_plugin_";
constexpr const char *kEntries[] = {
    "zorva_scene_plugin_container_get_status",
    "zorva_scene_plugin_container_set_status",
    "zorva_scene_plugin_container_get_module_status",
    "zorva_scene_plugin_container_set_module_status",
    "zorva_scene_plugin_filectl_add_container_policy_by_path",
    "zorva_scene_plugin_filectl_remove_container_policy_by_path",
    "zorva_scene_plugin_netctl_add_container_policy_by_path",
    "zorva_scene_plugin_netctl_remove_container_policy_by_path",
};

// Only the eight entry points are looked up: any other symbol has another
// form, and calling it as an entry point would be undefined.
std::optional<std::string> entryName(const std::string &name) {
    for (const char *entry : kEntries) {
        if (name == entry || name == entry + std::strlen(kPrefix))
            return std::string(entry);
    }
    return std::nullopt;
}

}  // namespace

std::variant<HostOptions, std::string> parseHostArguments(int argc, const char *const *argv) {
    HostOptions options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--plugin") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return std::string("--plugin needs a file");
            options.plugin = argv[++i];
        } else if (arg == "--null-request") {
            options.nullRequest = true;
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else {
            break;
        }
    }
    if (i >= argc)
        return std::string("no entry point named");
    auto entry = entryName(argv[i++]);
    if (!entry)
        return std::string("unknown entry point ") + argv[i - 1];
    options.entry = *entry;
    if (i < argc) {
        if (options.nullRequest)
            return std::string("--null-request takes no request");
        if (std::string(argv[i]) != "-")
            options.request = argv[i];
        ++i;
    }
    if (i < argc)
        return std::string("too many arguments");
    return options;
}

}  // namespace zorva::plugin_host
