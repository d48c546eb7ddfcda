// The plug-in host: its command line, and a run against the plug-in built
// with the core stand-in (request from an argument and from standard input,
// a null request, a bad request, a missing plug-in).
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "host_args.h"
#include "test_util.h"

using namespace zorva::plugin_host;
using vrex::testing::runProcess;

namespace {

std::variant<HostOptions, std::string> parse(std::vector<const char *> args) {
    args.insert(args.begin(), "zorva-plugin-host");
    return parseHostArguments(static_cast<int>(args.size()), args.data());
}

TEST(HostArguments, EntryAndRequest) {
    auto parsed = parse({"container_get_status", "{'param1': <'a'>}"});
    ASSERT_TRUE(std::holds_alternative<HostOptions>(parsed)) << std::get<std::string>(parsed);
    const auto &options = std::get<HostOptions>(parsed);
    EXPECT_EQ(options.entry, "zorva_scene_plugin_container_get_status");
    EXPECT_EQ(options.request, "{'param1': <'a'>}");
    EXPECT_EQ(options.plugin, "libzorva_scene_container_plugin.so.0");
    EXPECT_FALSE(options.nullRequest);
}

TEST(HostArguments, StandardInputNullRequestAndPlugin) {
    auto parsed = parse({"--plugin", "/x/p.so", "zorva_scene_plugin_netctl_add_container_policy_by_path", "-"});
    ASSERT_TRUE(std::holds_alternative<HostOptions>(parsed));
    EXPECT_EQ(std::get<HostOptions>(parsed).plugin, "/x/p.so");
    EXPECT_FALSE(std::get<HostOptions>(parsed).request.has_value());
    parsed = parse({"--null-request", "filectl_add_container_policy_by_path"});
    ASSERT_TRUE(std::holds_alternative<HostOptions>(parsed));
    EXPECT_TRUE(std::get<HostOptions>(parsed).nullRequest);
    // "--" ends the options, so a request may start with "-".
    parsed = parse({"--", "container_set_status", "-"});
    ASSERT_TRUE(std::holds_alternative<HostOptions>(parsed));
}

TEST(HostArguments, Refused) {
    const std::vector<std::vector<const char *>> bad = {
        {},
        {"--plugin"},
        {"--plugin", "", "container_get_status"},
        {"--verbose", "container_get_status"},
        {"dlopen"},                           // not an entry point
        {"zorva_scene_plugin_"},              // the prefix alone
        {"container_get_status", "{}", "x"},  // too many
        {"--null-request", "container_get_status", "{}"},
    };
    for (const auto &args : bad)
        EXPECT_TRUE(std::holds_alternative<std::string>(parse(args))) << (args.empty() ? "" : args[0]);
}

std::vector<std::string> host(std::vector<std::string> args) {
    args.insert(args.begin(), {VREX_PLUGIN_HOST, "--plugin", VREX_PLUGIN_STANDIN});
    return args;
}

TEST(PluginHost, CallsTheEntryPointAndPrintsTheResponse) {
    auto r = runProcess(host({"container_get_status", "{'param1': <'c1'>, 'sync': <true>}"}), "",
                        {"ZORVA_CORE_STANDIN_RESULT=4"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{'code': <0>, 'message': <'success'>, 'data': <4>}\n");
    EXPECT_EQ(r.err, "core: zorva_scene_container_get_status(\"c1\", {\"zorva_container\", 1})\n");

    r = runProcess(host({"zorva_scene_plugin_filectl_add_container_policy_by_path"}),
                   "{'param1': <'/bin/sh'>, 'param2': <uint32 2>}", {"ZORVA_CORE_STANDIN_RESULT=-3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "{'code': <-3>, 'message': <'not found: the container, the path in its rule list, or the rule list'>}\n");
    EXPECT_EQ(r.err,
              "core: zorva_scene_add_container_policy_by_path_filectl(\"/bin/sh\", 2, {\"zorva_container\", 0})\n");
}

TEST(PluginHost, NullAndWrongRequestsReachThePlugin) {
    auto r = runProcess(host({"--null-request", "container_set_status"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{'code': <-1>, 'message': <'invalid data format'>}\n");
    r = runProcess(host({"container_set_status", "{'param1': <'c1'>, 'param2': <'on'>}"}));
    EXPECT_EQ(r.out, "{'code': <-1>, 'message': <'invalid status data parameter'>}\n");
    EXPECT_EQ(r.err, "");  // nothing called
}

TEST(PluginHost, BadRequestTextOrPluginFails) {
    auto r = runProcess(host({"container_get_status", "{'param1': <'c1'"}));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("bad request"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    r = runProcess({VREX_PLUGIN_HOST, "--plugin", "/nonexistent/plugin.so", "container_get_status", "@a{sv} {}"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot load the plug-in"), std::string::npos) << r.err;
    r = runProcess({VREX_PLUGIN_HOST, "container_get_status"});
    EXPECT_NE(r.exitCode, 0);
}

}  // namespace
