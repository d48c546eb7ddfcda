// End to end, inside the test sandbox: every entry point through the host
// installed as the daemon and the real core library. Responses, and what
// each call leaves in the document, the kernel record, the store file, the
// policy text and the stand-ins' logs.
#include <functional>

#include <gtest/gtest.h>

#include "plugin_e2e_util.h"
#include "record_fixtures.h"

using namespace plugin_e2e;

namespace {

using zorva::scene::Container;
using List = std::vector<std::string>;

const std::string kInvalidArgument =
    "invalid argument (container id, module, status, path or mode), or the container status could not be read";

TEST_F(PluginE2E, StatusEntryPointsReachDocumentKernelAndStore) {
    auto set = call("container_set_status", "{'param1': <'" + kId + "'>, 'param2': <4>, 'sync': <true>}");
    EXPECT_EQ(response(set), kSuccess);
    EXPECT_TRUE(diagnostics(set).ends_with("Successfully added/updated policy for container " + kId +
                                           "\nvault_store_add_policy ret: 0"))
        << set.out;
    EXPECT_EQ(readFile(kKernelStatusPath), recordBytes(kId, 4, 1, 1, 1));
    EXPECT_EQ(containerEntry(kId), (Container{4, 1, 1, 1}));
    EXPECT_NE(readFile(kStorePath).find(storeLine(kId, 4, 1, 1, 1)), std::string::npos) << readFile(kStorePath);
    EXPECT_EQ(response(call("container_get_status", "{'param1': <'" + kId + "'>}")), replyData(4));

    writeFile(kKernelStatusPath, "");
    auto setModule = call("container_set_module_status",
                          "{'param1': <'" + kId + "'>, 'param2': <uint32 2>, 'param3': <uint32 0>, 'scene': <'s'>}");
    EXPECT_EQ(response(setModule), kSuccess);
    EXPECT_EQ(diagnostics(setModule).rfind("Input module: 2, status: 0\n", 0), 0u) << setModule.out;
    EXPECT_EQ(readFile(kKernelStatusPath), recordBytes(kId, 4, 1, 1, 0));
    EXPECT_EQ(containerEntry(kId), (Container{4, 1, 1, 0}));
    EXPECT_NE(readFile(kStorePath).find(storeLine(kId, 4, 1, 1, 0)), std::string::npos) << readFile(kStorePath);
    EXPECT_EQ(response(call("container_get_module_status", "{'param1': <'" + kId + "'>, 'param2': <2>}")),
              replyData(0));
    EXPECT_EQ(response(call("container_get_module_status", "{'param1': <'" + kId + "'>, 'param2': <uint32 1>}")),
              replyData(1));

    // Switched off with an unsigned status and the scene switch flag.
    writeFile(kKernelStatusPath, "");
    EXPECT_EQ(response(call("container_set_status",
                            "{'param1': <'" + kId + "'>, 'param2': <uint32 0>, 'scene_switch': <true>}")),
              kSuccess);
    EXPECT_EQ(readFile(kKernelStatusPath), recordBytes(kId, 0, 1, 1, 0));
    EXPECT_EQ(response(call("container_get_status", "{'param1': <'" + kId + "'>}")), replyData(0));
    // One record per container in the store, updated in place.
    const std::string store = readFile(kStorePath);
    EXPECT_EQ(store, kStoreHead + storeLine(kId, 0, 1, 1, 0) + kStoreTail);
    // Status changes compile and deploy nothing.
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(fs::exists(kPolicy));
}

TEST_F(PluginE2E, RuleEntryPointsReachDocumentPolicyTextAndDeployment) {
    const std::string filectl = "container.filectl.", netctl = "container.netctl.";
    auto added = call("filectl_add_container_policy_by_path", "{'param1': <'/etc/shadow'>, 'param2': <uint32 0>}");
    EXPECT_EQ(response(added), kSuccess);
    EXPECT_EQ(diagnostics(added), "");
    EXPECT_EQ(documentList(filectl + "filectl_list"), List{"/etc/shadow"});
    EXPECT_EQ(policyList("container.filectl", "filectl_list"), List{"/etc/shadow"});
    // The first change deploys the whole policy.
    EXPECT_EQ(calls(), (List{mergeCall(), "compileInitPolicy"}));

    // Later ones compile the section that changed.
    auto unlink = call("filectl_add_container_policy_by_path", "{'param1': <'/var/log'>, 'param2': <2>}");
    EXPECT_EQ(response(unlink), kSuccess);
    EXPECT_EQ(diagnostics(unlink), "change section: container.filectl");
    EXPECT_EQ(documentList(filectl + "filectl_unlink_list"), List{"/var/log"});
    EXPECT_EQ(policyList("container.filectl", "filectl_unlink_list"), List{"/var/log"});
    EXPECT_EQ(calls(),
              (List{mergeCall(), sectionCall("container.filectl", policySection("container.filectl")), "sendPolicy"}));

    EXPECT_EQ(response(call("netctl_add_container_policy_by_path", "{'param1': <'/usr/bin/curl'>, 'sync': <true>}")),
              kSuccess);
    EXPECT_EQ(documentList(netctl + "netctl_list"), List{"/usr/bin/curl"});
    EXPECT_EQ(policyList("container.netctl", "netctl_list"), List{"/usr/bin/curl"});
    EXPECT_EQ(calls(),
              (List{mergeCall(), sectionCall("container.netctl", policySection("container.netctl")), "sendPolicy"}));

    // A path the core library refuses reaches it and changes nothing.
    EXPECT_EQ(response(call("netctl_add_container_policy_by_path", "{'param1': <'/usr/bin/../bin/nc'>}")),
              reply(-1, kInvalidArgument));

    EXPECT_EQ(response(call("filectl_remove_container_policy_by_path", "{'param1': <'/etc/shadow'>, 'param2': <0>}")),
              kSuccess);
    EXPECT_EQ(documentList(filectl + "filectl_list"), List{});
    EXPECT_EQ(policyList("container.filectl", "filectl_list"), List{});
    EXPECT_EQ(documentList(filectl + "filectl_unlink_list"), List{"/var/log"});
    EXPECT_EQ(calls().size(), 3u);
    EXPECT_EQ(response(call("netctl_remove_container_policy_by_path", "{'param1': <'/usr/bin/curl'>}")), kSuccess);
    EXPECT_EQ(documentList(netctl + "netctl_list"), List{});
    EXPECT_EQ(policyList("container.netctl", "netctl_list"), List{});
    EXPECT_EQ(calls().size(), 3u);

    // Rule changes write no status record and leave the store alone.
    EXPECT_EQ(readFile(kKernelStatusPath), "");
    EXPECT_FALSE(fs::exists(kStorePath));
}

// One entry point's keys, in decoding order, with a valid value each.
struct Key {
    std::string name;
    std::string valid;               // a value that decodes
    std::vector<std::string> wrong;  // values of the wrong type or range
    std::string failure;             // the refusal's message
};

struct EntryKeys {
    std::string entry;
    std::vector<Key> keys;
};

std::vector<EntryKeys> entryKeys() {
    const std::string idFailure = "invalid containerid data parameter";
    const std::string dataFailure = "invalid data parameter";
    const Key id{
        "param1", "'" + kId + "'", {"1", "objectpath '/a'", "@as ['a']", "'" + std::string(65, 'a') + "'"}, idFailure};
    const Key path{"param1", "'/srv/x'", {"uint32 1", "<'/srv/x'>", "'/" + std::string(4095, 'x') + "'"}, dataFailure};
    const std::vector<std::string> notUnsigned = {"'1'", "int64 1", "true", "-1"};
    const Key module{"param2", "uint32 1", notUnsigned, "invalid module data parameter"};
    const Key mode{"param2", "uint32 1", notUnsigned, dataFailure};
    return {
        {"container_get_status", {id}},
        {"container_set_status",
         {id, {"param2", "2", {"'2'", "int64 2", "uint32 2147483648", "2.0"}, "invalid status data parameter"}}},
        {"container_get_module_status", {id, module}},
        {"container_set_module_status",
         {id, module, {"param3", "uint32 1", notUnsigned, "invalid status data parameter"}}},
        {"filectl_add_container_policy_by_path", {path, mode}},
        {"filectl_remove_container_policy_by_path", {path, mode}},
        {"netctl_add_container_policy_by_path", {path}},
        {"netctl_remove_container_policy_by_path", {path}},
    };
}

// The request of these keys, with key `skip` left out and key `replace`
// given `value`, then `extra` entries.
std::string request(const std::vector<Key> &keys, size_t skip, size_t replace, const std::string &value,
                    const std::string &extra = "") {
    std::string text = "@a{sv} {";
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i == skip)
            continue;
        if (text.size() > 8)
            text += ", ";
        text += "'" + keys[i].name + "': <" + (i == replace ? value : keys[i].valid) + ">";
    }
    if (!extra.empty())
        text += (text.size() > 8 ? ", " : "") + extra;
    return text + "}";
}

TEST_F(PluginE2E, EveryDecodingFailureAnswersMinusOneAndChangesNothing) {
    // Something in every file first, so that a change would show.
    ASSERT_EQ(response(call("container_set_status", "{'param1': <'" + kId + "'>, 'param2': <2>}")), kSuccess);
    ASSERT_EQ(response(call("filectl_add_container_policy_by_path", "{'param1': <'/srv/x'>, 'param2': <uint32 1>}")),
              kSuccess);
    calls();
    const std::string doc = readFile(kSceneDocumentPath), kernel = readFile(kKernelStatusPath),
                      store = readFile(kStorePath), policy = readFile(kPolicy);
    const size_t none = SIZE_MAX;
    size_t refusals = 0;
    auto refused = [&](const std::string &entry, const ProcessResult &r, const std::string &message,
                       const std::string &what) {
        // The response alone: the core library printed nothing.
        EXPECT_EQ(r.out, reply(-1, message) + "\n") << entry << " " << what;
        ++refusals;
    };
    for (const auto &[entry, keys] : entryKeys()) {
        refused(entry, call(entry, "", Options::noRequest()), "invalid data format", "null request");
        for (const char *notDictionary : {"'text'", "@a{ss} {'param1': '/srv/x'}", "<@a{sv} {}>"})
            refused(entry, call(entry, notDictionary), "invalid data format", notDictionary);
        refused(entry, call(entry, "@a{sv} {}"), keys[0].failure, "empty");
        for (size_t k = 0; k < keys.size(); ++k) {
            refused(entry, call(entry, request(keys, k, none, "")), keys[k].failure, "without " + keys[k].name);
            for (const std::string &value : keys[k].wrong) {
                const std::string text = request(keys, none, k, value);
                refused(entry, call(entry, text), keys[k].failure, text);
            }
            // A key given twice: which one counts would be a guess.
            const std::string twice = request(keys, none, none, "", "'" + keys[k].name + "': <" + keys[k].valid + ">");
            refused(entry, call(entry, twice), keys[k].failure, twice);
        }
        for (const char *addon :
             {"'scene': <1>", "'sync': <'yes'>", "'scene_switch': <byte 1>", "'scene_switch': <<true>>"}) {
            const std::string text = request(keys, none, none, "", addon);
            refused(entry, call(entry, text), "invalid data parameter", text);
        }
    }
    EXPECT_EQ(refusals, 152u);
    EXPECT_EQ(readFile(kSceneDocumentPath), doc);
    EXPECT_EQ(readFile(kKernelStatusPath), kernel);
    EXPECT_EQ(readFile(kStorePath), store);
    EXPECT_EQ(readFile(kPolicy), policy);
    EXPECT_TRUE(calls().empty());
}

// The code-to-message table, through codes the core library really returns.
// (-14 cannot be reached through the plug-in: it only makes add-on kinds 0 to
// 2; the unit tests answer it from the stand-in.)
TEST_F(PluginE2E, EachCodeOfTheCoreLibraryGetsItsMessage) {
    const std::string doc = readFile(kSceneDocumentPath);
    auto replaceInDocument = [&](const std::string &from, const std::string &to) {
        std::string d = doc;
        writeFile(kSceneDocumentPath, d.replace(d.find(from), from.size(), to));
    };
    auto addFile = [&](const std::string &path) {
        ASSERT_EQ(response(call("filectl_add_container_policy_by_path", "{'param1': <'" + path + "'>, 'param2': <0>}")),
                  kSuccess);
    };
    const std::string addX = "{'param1': <'/x'>, 'param2': <0>}";
    const std::string setId = "{'param1': <'" + kId + "'>, 'param2': <2>}";
    struct Case {
        std::string what;
        std::function<void()> prepare;
        std::string entry, request;
        Options options;
        std::string response;
    };
    const std::vector<Case> cases = {
        {"success", [] {}, "container_set_status", setId, {}, kSuccess},
        {"a store library that cannot be loaded", [] {}, "container_set_status", setId, Options::withoutStore(),
         reply(1, "unknow error")},
        {"a relative path",
         [] {},
         "filectl_add_container_policy_by_path",
         "{'param1': <'etc'>, 'param2': <0>}",
         {},
         reply(-1, kInvalidArgument)},
        {"a mode out of range",
         [] {},
         "filectl_remove_container_policy_by_path",
         "{'param1': <'/x'>, 'param2': <3>}",
         {},
         reply(-1, kInvalidArgument)},
        {"a container status out of range",
         [] {},
         "container_set_status",
         "{'param1': <'c1'>, 'param2': <3>}",
         {},
         reply(-1, kInvalidArgument)},
        {"reading an absent container",
         [] {},
         "container_get_status",
         "{'param1': <'absent'>}",
         {},
         reply(-1, kInvalidArgument)},
        {"removing an absent path",
         [] {},
         "netctl_remove_container_policy_by_path",
         "{'param1': <'/x'>}",
         {},
         reply(-3, "not found: the container, the path in its rule list, or the rule list")},
        {"a control of an absent container",
         [] {},
         "container_set_module_status",
         "{'param1': <'absent'>, 'param2': <0>, 'param3': <1>}",
         {},
         reply(-3, "not found: the container, the path in its rule list, or the rule list")},
        {"a caller that is not the daemon", [] {}, "container_get_status", "{'param1': <'c1'>}",
         Options::runAs(envOrEmpty("VREX_TEST_DRIVER")),
         reply(-4, "permission denied: only the zorva daemon may use the container module")},
        {"a module type that is not a name",
         [&] { replaceInDocument("\"type\": \"netctl\"", "\"type\": \"net.ctl\""); },
         "filectl_add_container_policy_by_path",
         addX,
         {},
         reply(-5, "failed to generate the policy text from the scene document")},
        {"a directory where the policy file goes",
         [] {
             fs::create_directories(kPolicy);
             writeFile(kPolicy + "/keep", "");
         },
         "filectl_add_container_policy_by_path",
         addX,
         {},
         reply(-6, "failed to write the policy file or its pending-deployment mark")},
        {"deployPolicy failing", [] { writeFile(kInterpreterStatus, "1\n"); }, "filectl_add_container_policy_by_path",
         addX, Options::withEnv("VREX_TEST_INTERPRETER_FAIL=deployPolicy=2"),
         reply(-10, "failed to deploy the policy to the kernel")},
        {"compileInitPolicy failing", [] {}, "filectl_add_container_policy_by_path", addX,
         Options::withEnv("VREX_TEST_INTERPRETER_FAIL=compileInitPolicy=2"),
         reply(-13, "failed to compile the initial policy")},
        {"sendPolicy failing", [&] { addFile("/before"); }, "filectl_add_container_policy_by_path", addX,
         Options::withEnv("VREX_TEST_INTERPRETER_FAIL=sendPolicy=2"),
         reply(-15, "failed to send the compiled policy to the kernel")},
        {"modifyDynamicVariable failing",
         [&] {
             addFile("/before");
             std::string d = readFile(kSceneDocumentPath);
             d.replace(d.find("\"type\": \"filectl\","), 18, "\"type\": \"filectl\", \"enable_dyn_changed\": true,");
             writeFile(kSceneDocumentPath, d);
         },
         "filectl_add_container_policy_by_path", addX,
         Options::withEnv("VREX_TEST_INTERPRETER_FAIL=modifyDynamicVariable=2"),
         reply(-16, "failed to change a dynamic policy variable")},
        {"compileSectionPolicy failing", [&] { addFile("/before"); }, "netctl_add_container_policy_by_path",
         "{'param1': <'/x'>}", Options::withEnv("VREX_TEST_INTERPRETER_FAIL=compileSectionPolicy=2"),
         reply(-17, "failed to compile the changed policy section")},
        {"the plugin manager's merge failing", [] {}, "netctl_add_container_policy_by_path", "{'param1': <'/x'>}",
         Options::withEnv("VREX_TEST_PLUGINMGR_FAIL=2"), reply(-100, "unknow error")},
    };
    for (const auto &c : cases) {
        SetUp();
        c.prepare();
        ProcessResult r = call(c.entry, c.request, c.options);
        EXPECT_EQ(response(r), c.response) << c.what;
        // The core library said why, on a line of its own.
        if (c.response != kSuccess) {
            EXPECT_NE(diagnostics(r), "") << c.what;
        }
    }
}

}  // namespace
