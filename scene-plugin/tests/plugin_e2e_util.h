// The plug-in's end-to-end suites inside the test sandbox: the plug-in host
// installed as /usr/sbin/zorva-daemon loads the built plug-in by its name,
// as the plugin manager does; the plug-in links the built core library,
// which writes the real document, kernel status file, store file and policy
// text, loads the plugin manager stand-in from its installed library
// directory and calls the interpreter stand-in. Both stand-ins append their
// calls to one log.
#pragma once

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "policy/policy.h"
#include "policy/policy_text.h"
#include "scene_e2e_util.h"
#include "system_paths.h"
#include "test_util.h"

namespace plugin_e2e {

namespace fs = std::filesystem;
using namespace vrex::testing;

inline const std::string kPolicyDir = "/etc/zorva-scene/policy";
inline const std::string kPolicy = kPolicyDir + "/zorva_container.policy";
inline const std::string kProductInfo = "/etc/.productinfo";
inline const std::string kInterpreterStatus = "/sys/kernel/security/vrex/status";
inline const std::string kPluginMgr = std::string(VREX_PLUGINMGR_INSTALL_DIR) + "/libzorva_scene_pluginmgr.so.0";
inline const std::string kId = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A response as the host prints it.
inline std::string reply(int code, const std::string &message) {
    return "{'code': <" + std::to_string(code) + ">, 'message': <'" + message + "'>}";
}
inline std::string replyData(int data) {
    return "{'code': <0>, 'message': <'success'>, 'data': <" + std::to_string(data) + ">}";
}
inline const std::string kSuccess = reply(0, "success");

// The interpreter stand-in's record of a compileSectionPolicy call.
inline std::string sectionCall(const std::string &name, std::string_view text) {
    std::string escaped;
    for (char c : text)
        escaped += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "compileSectionPolicy " + name + " " + escaped;
}

class PluginE2E : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        ASSERT_FALSE(envOrEmpty("VREX_TEST_PLUGIN_DIR").empty());
        // VREX_TEST_DRIVER names the plug-in host: it becomes the daemon.
        scene_e2e::installDaemonAndDocument();
        fs::remove(kStorePath);
        fs::remove_all(kPolicyDir);
        fs::remove(kProductInfo);
        fs::create_directories(VREX_PLUGINMGR_INSTALL_DIR);
        fs::copy_file(envOrEmpty("VREX_TEST_PLUGINMGR_LIBRARY"), kPluginMgr, fs::copy_options::overwrite_existing);
        writeFile(kInterpreterStatus, "0\n");
        if (fs::is_regular_file(kKernelStatusPath))
            writeFile(kKernelStatusPath, "");
        log_ = envOrEmpty("VREX_SANDBOX_SCRATCH") + "/calls.log";
        writeFile(log_, "");
    }

    struct Options {
        std::vector<std::string> env;  // added to the environment
        bool withStore = true;         // the store library can be loaded
        std::string program = kDaemonPath;
        bool nullRequest = false;

        static Options withEnv(std::string entry) {
            Options o;
            o.env.push_back(std::move(entry));
            return o;
        }
        static Options withoutStore() {
            Options o;
            o.withStore = false;
            return o;
        }
        static Options runAs(std::string program) {
            Options o;
            o.program = std::move(program);
            return o;
        }
        static Options noRequest() {
            Options o;
            o.nullRequest = true;
            return o;
        }
    };

    // Calls `entry` (without its prefix) with the request text through the
    // host; the response is the last line of standard output.
    ProcessResult call(const std::string &entry, const std::string &request, Options options) {
        std::vector<std::string> args = {options.program};
        if (options.nullRequest)
            args.push_back("--null-request");
        args.push_back(entry);
        if (!options.nullRequest)
            args.push_back(request);
        options.env.push_back("LD_LIBRARY_PATH=" + envOrEmpty("VREX_TEST_PLUGIN_DIR") + ":" +
                              scene_e2e::libraryEnv(options.withStore)[0].substr(16));
        options.env.push_back("VREX_TEST_INTERPRETER_LOG=" + log_);
        options.env.push_back("VREX_TEST_PLUGINMGR_LOG=" + log_);
        options.env.push_back("G_SLICE=always-malloc");
        ProcessResult r = runProcess(args, "", options.env);
        // The host printed a response and nothing went wrong in it (a leak
        // or a fault would show on standard error).
        EXPECT_EQ(r.exitCode, 0) << entry << " " << request << "\n" << r.err;
        EXPECT_EQ(r.err, "") << entry << " " << request;
        return r;
    }
    ProcessResult call(const std::string &entry, const std::string &request) { return call(entry, request, {}); }

    // The response of a call: the last line the host printed.
    static std::string response(const ProcessResult &r) {
        std::string out = r.out;
        if (out.ends_with('\n'))
            out.pop_back();
        return out.substr(out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
    }
    // What the core library and the store printed before the response.
    static std::string diagnostics(const ProcessResult &r) {
        std::string lines = r.out.substr(0, r.out.size() - std::min(r.out.size(), response(r).size() + 1));
        if (lines.ends_with('\n'))
            lines.pop_back();
        return lines;
    }

    // The calls the stand-ins logged since the last look.
    std::vector<std::string> calls() {
        std::vector<std::string> lines;
        std::string text = readFile(log_);
        for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        writeFile(log_, "");
        return lines;
    }
    std::string mergeCall() {
        return "zorva2_scene_plugin_merge_policy zorva_container " + kPolicy + " " +
               std::to_string(fs::file_size(kPolicy));
    }

    // The scene document as the core library left it.
    static zorva::scene::Policy document() {
        auto doc = zorva::scene::parsePolicy(readFile(kSceneDocumentPath));
        EXPECT_TRUE(doc.ok()) << doc.error().chain();
        return doc.ok() ? doc.value() : zorva::scene::Policy{};
    }
    // A container's entry in the document, or none.
    static std::optional<zorva::scene::Container> containerEntry(const std::string &id) {
        auto doc = document();
        auto module = zorva::scene::findModule(doc, "container");
        if (!module.ok())
            return std::nullopt;
        auto state = zorva::scene::readContainerState(*module.value(), id);
        if (!state.ok())
            return std::nullopt;
        return state.value();
    }
    // A rule list of the document ("container.filectl.filectl_list").
    static std::vector<std::string> documentList(const std::string &dottedName) {
        auto doc = document();
        auto variable = zorva::scene::findVariable(doc, dottedName);
        if (!variable.ok() || variable.value()->value.stringList() == nullptr) {
            ADD_FAILURE() << "no string list " << dottedName;
            return {};
        }
        return *variable.value()->value.stringList();
    }
    // A rule list of the policy text, by section and variable name.
    static std::vector<std::string> policyList(const std::string &section, const std::string &name) {
        auto text = zorva::scene::parsePolicyText(readFile(kPolicy));
        if (!text.ok()) {
            ADD_FAILURE() << text.error().chain();
            return {};
        }
        for (const auto &s : text.value().model.sections) {
            for (const auto &v : s.variables) {
                if (s.name == section && v.name == name && v.value.stringList() != nullptr)
                    return *v.value.stringList();
            }
        }
        ADD_FAILURE() << "no variable " << name << " in section " << section;
        return {};
    }
    // The text of one section of the policy file.
    static std::string policySection(const std::string &section) {
        auto text = zorva::scene::parsePolicyText(readFile(kPolicy));
        if (!text.ok())
            return "";
        for (size_t i = 0; i < text.value().model.sections.size(); ++i) {
            if (text.value().model.sections[i].name == section)
                return std::string(text.value().sectionText(i));
        }
        return "";
    }

    std::string log_;
};

}  // namespace plugin_e2e
