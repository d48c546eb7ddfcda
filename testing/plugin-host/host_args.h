// Command line of the plug-in host:
//   zorva-plugin-host [--plugin FILE] [--null-request] ENTRY [REQUEST | -]
// ENTRY is one of the plug-in's eight entry points, with or without the
// "zorva_scene_plugin_" prefix. REQUEST is a GVariant in text format; absent
// or "-", it is read from standard input. --null-request passes a null
// request instead (and takes no REQUEST). --plugin loads FILE instead of
// "libzorva_scene_container_plugin.so.0" (found by the dynamic loader).
#pragma once

#include <optional>
#include <string>
#include <variant>

namespace zorva::plugin_host {

inline constexpr const char *kPluginName = "libzorva_scene_container_plugin.so.0";
inline constexpr const char *kUsage = "usage: zorva-plugin-host [--plugin FILE] [--null-request] ENTRY [REQUEST | -]\n";

struct HostOptions {
    std::string plugin = kPluginName;
    std::string entry;  // the exported name
    bool nullRequest = false;
    std::optional<std::string> request;  // the request text; none: read standard input
};

// The options, or a message saying what is wrong with the command line.
std::variant<HostOptions, std::string> parseHostArguments(int argc, const char *const *argv);

}  // namespace zorva::plugin_host
