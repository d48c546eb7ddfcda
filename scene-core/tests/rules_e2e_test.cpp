// End to end, inside the test sandbox: the driver installed as
// /usr/sbin/zorva-daemon calls the rule exports of the built library, which
// writes the real document and policy file, loads the plugin manager
// stand-in from the installed library directory and calls the interpreter
// stand-in. Both stand-ins append their calls to one log, in order.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include <gtest/gtest.h>

#include "policy/policy_text.h"
#include "scene_e2e_util.h"
#include "system_paths.h"
#include "test_util.h"

namespace fs = std::filesystem;
using namespace vrex::testing;

namespace {

const std::string kPolicyDir = "/etc/zorva-scene/policy";
const std::string kPolicy = kPolicyDir + "/zorva_container.policy";
const std::string kMark = kPolicy + ".pending";
const std::string kKernelStatus = "/sys/kernel/security/vrex/status";
const std::string kProductInfo = "/etc/.productinfo";
const std::string kPluginMgr = std::string(VREX_PLUGINMGR_INSTALL_DIR) + "/libzorva_scene_pluginmgr.so.0";
const std::string kMergeCall = "zorva2_scene_plugin_merge_policy zorva_container " + kPolicy + " ";

// The interpreter stand-in's record of a compileSectionPolicy call.
std::string sectionCall(const std::string &name, std::string text) {
    std::string escapedText;
    for (char c : text)
        escapedText += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "compileSectionPolicy " + name + " " + escapedText;
}

zorva::scene::PolicyText policyFile() {
    auto text = zorva::scene::parsePolicyText(readFile(kPolicy));
    EXPECT_TRUE(text.ok()) << text.error().chain();
    return text.value();
}

class RulesE2E : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        scene_e2e::installDaemonAndDocument();
        fs::remove_all(kPolicyDir);
        fs::remove(kProductInfo);
        fs::create_directories(VREX_PLUGINMGR_INSTALL_DIR);
        fs::copy_file(envOrEmpty("VREX_TEST_PLUGINMGR_LIBRARY"), kPluginMgr, fs::copy_options::overwrite_existing);
        writeFile(kKernelStatus, "0\n");
        log_ = std::string(envOrEmpty("VREX_SANDBOX_SCRATCH")) + "/calls.log";
        writeFile(log_, "");
    }

    ProcessResult run(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), kDaemonPath);
        env.push_back(scene_e2e::libraryEnv(false)[0]);
        env.push_back("VREX_TEST_INTERPRETER_LOG=" + log_);
        env.push_back("VREX_TEST_PLUGINMGR_LOG=" + log_);
        return runProcess(args, "", env);
    }

    // The calls logged since the last look.
    std::vector<std::string> calls() {
        std::vector<std::string> lines;
        std::string text = readFile(log_);
        for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        writeFile(log_, "");
        return lines;
    }

    std::string mergeCall() { return kMergeCall + std::to_string(fs::file_size(kPolicy)); }

    // The document with enable_dyn_changed set on the filectl module.
    void makeFilectlDynamic() {
        std::string doc = readFile(kSceneDocumentPath);
        doc.replace(doc.find("\"type\": \"filectl\","), 18, "\"type\": \"filectl\", \"enable_dyn_changed\": true,");
        writeFile(kSceneDocumentPath, doc);
    }

    std::string log_;
};

}  // namespace

TEST_F(RulesE2E, FirstDeploymentIsWholeAndTheStatusFileChoosesItsCall) {
    EXPECT_EQ(run({"add-file", "/etc/shadow", "0"}).out, "result: 0\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{mergeCall(), "compileInitPolicy"}));
    EXPECT_FALSE(fileExists(kMark));
    EXPECT_EQ(policyFile().model.sections[2].variables[0].value.stringList()->front(), "/etc/shadow");

    fs::remove_all(kPolicyDir);
    writeFile(kKernelStatus, "1\n");
    EXPECT_EQ(run({"add-net", "/usr/bin/curl"}).out, "result: 0\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{mergeCall(), "deployPolicy"}));
}

TEST_F(RulesE2E, SectionChangeThenDynamicVariableChange) {
    ASSERT_EQ(run({"add-file", "/a", "0"}).out, "result: 0\n");
    calls();
    EXPECT_EQ(run({"add-net", "/bin/nc"}).out, "change section: container.netctl\nresult: 0\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           mergeCall(), sectionCall("container.netctl", std::string(policyFile().sectionText(3))),
                           "sendPolicy"}));
    makeFilectlDynamic();
    EXPECT_EQ(run({"add-file", "/b \"c\"", "0"}).out, "change dyn_var: container.filectl.filectl_list\nresult: 0\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           mergeCall(),
                           "modifyDynamicVariable container.filectl.filectl_list [\"/a\", \"/b \\\\\"c\\\\\"\"] 3"}));
    // The flag is not written back: the next change compiles the section.
    EXPECT_EQ(run({"remove-file", "/a", "0"}).out, "change section: container.filectl\nresult: 0\n");
    EXPECT_EQ(calls().size(), 3u);
}

TEST_F(RulesE2E, RepeatedAddCallsNothingAndAbsentRemoveIsNotFound) {
    ASSERT_EQ(run({"add-file", "/a", "1"}).out, "result: 0\n");
    calls();
    const std::string doc = readFile(kSceneDocumentPath), text = readFile(kPolicy);
    EXPECT_EQ(run({"add-file", "/a", "1"}).out, "result: 0\n");
    EXPECT_EQ(run({"remove-file", "/a", "2"}).out,
              "path \"/a\" not found in container.filectl.filectl_unlink_list\nresult: -3\n");
    EXPECT_EQ(run({"remove-net", "/a"}).out, "path \"/a\" not found in container.netctl.netctl_list\nresult: -3\n");
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(readFile(kSceneDocumentPath), doc);
    EXPECT_EQ(readFile(kPolicy), text);
}

TEST_F(RulesE2E, EachFailureGivesItsCodeAndLineAndTheNextOperationDeploysAll) {
    struct Case {
        std::string env;
        std::string status;
        bool first;    // on the first operation (a full deployment)
        bool dynamic;  // with enable_dyn_changed set
        std::string out;
    };
    const std::vector<Case> cases = {
        {"VREX_TEST_INTERPRETER_FAIL=compileInitPolicy=3", "0", true, false,
         "init policy compile policy failed ret:3\nresult: -13\n"},
        {"VREX_TEST_INTERPRETER_FAIL=deployPolicy=-3", "1", true, false, "deploy policy ret:-3\nresult: -10\n"},
        {"VREX_TEST_INTERPRETER_FAIL=compileSectionPolicy=3", "0", false, false,
         "change section: container.filectl\nfailed to compile section policy: container.filectl, ret=3\nresult: "
         "-17\n"},
        {"VREX_TEST_INTERPRETER_FAIL=sendPolicy=3", "0", false, false,
         "change section: container.filectl\nfailed to send compiled section policy, ret=3\nresult: -15\n"},
        {"VREX_TEST_INTERPRETER_FAIL=modifyDynamicVariable=3", "0", false, true,
         "change dyn_var: container.filectl.filectl_list\nfailed to modify dynamic variable "
         "container.filectl.filectl_list, ret=3\nresult: -16\n"},
        {"VREX_TEST_PLUGINMGR_FAIL=3", "0", false, false,
         "zorva2_scene_plugin_merge_policy failed, ret=3\nresult: -100\n"},
    };
    for (const auto &c : cases) {
        SetUp();
        writeFile(kKernelStatus, c.status);
        if (!c.first) {
            ASSERT_EQ(run({"add-file", "/before", "0"}).out, "result: 0\n");
        }
        if (c.dynamic)
            makeFilectlDynamic();
        EXPECT_EQ(run({"add-file", "/x", "0"}, {c.env}).out, c.out) << c.env;
        EXPECT_TRUE(fileExists(kMark)) << c.env;
        calls();
        // Repaired by the next operation, even one that changes nothing.
        EXPECT_EQ(run({"add-file", "/x", "0"}).out, "result: 0\n") << c.env;
        EXPECT_EQ(calls(),
                  (std::vector<std::string>{mergeCall(), c.status == "1" ? "deployPolicy" : "compileInitPolicy"}))
            << c.env;
        EXPECT_FALSE(fileExists(kMark));
    }
}

TEST_F(RulesE2E, KilledBetweenSaveAndDeploymentTheNextOperationDeploysAll) {
    const std::vector<std::pair<std::string, bool>> killers = {
        {"VREX_TEST_PLUGINMGR_KILL=1", false},
        {"VREX_TEST_INTERPRETER_KILL=compileInitPolicy", false},
        {"VREX_TEST_INTERPRETER_KILL=compileSectionPolicy", true},
        {"VREX_TEST_INTERPRETER_KILL=sendPolicy", true},
    };
    for (const auto &[killer, afterFirst] : killers) {
        SetUp();
        if (afterFirst) {
            ASSERT_EQ(run({"add-net", "/before"}).out, "result: 0\n");
        }
        auto killed = run({"add-net", "/usr/bin/wget"}, {killer});
        EXPECT_EQ(killed.signal, SIGKILL) << killer;
        EXPECT_NE(readFile(kSceneDocumentPath).find("/usr/bin/wget"), std::string::npos) << killer;
        calls();
        EXPECT_EQ(run({"add-net", "/usr/bin/wget"}).out, "result: 0\n") << killer;
        EXPECT_EQ(calls(), (std::vector<std::string>{mergeCall(), "compileInitPolicy"})) << killer;
        EXPECT_FALSE(fileExists(kMark));
    }
}

TEST_F(RulesE2E, HostilePathsCannotInjectARule) {
    const std::vector<std::string> hostile = {
        "/x\", \"/y",
        "/x\"] object=\"*\" permission=[]",
        "/a b/\\\"/c\\",
        "/end \"container.filectl\"",
        "/  rule operation=\"allow\" user=\"*\" subject=\"*\" object=\"*\" object_type=\"path\" permission=[] "
        "func=\"\" eval_func=\"\"",
        "/#, ], [, =, \\x41, \\u2028",
        "/line\xe2\x80\xa8separator",
    };
    for (const auto &path : hostile)
        ASSERT_TRUE(run({"add-file", path, "0"}).out.ends_with("result: 0\n")) << path;
    ASSERT_EQ(run({"add-net", hostile[1]}).out, "change section: container.netctl\nresult: 0\n");
    zorva::scene::PolicyText text = policyFile();
    auto shipped =
        zorva::scene::generatePolicyText(zorva::scene::parsePolicy(readFile(VREX_DEFAULT_SCENE_DOCUMENT)).value());
    ASSERT_TRUE(shipped.ok());
    ASSERT_EQ(text.model.sections.size(), shipped.value().model.sections.size());
    for (size_t i = 0; i < text.model.sections.size(); ++i)
        EXPECT_EQ(text.model.sections[i].rules, shipped.value().model.sections[i].rules) << i;
    EXPECT_EQ(*text.model.sections[2].variables[0].value.stringList(), hostile);
    EXPECT_EQ(*text.model.sections[3].variables[0].value.stringList(), std::vector<std::string>{hostile[1]});
    const std::string file = readFile(kPolicy);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'),
              std::count(shipped.value().text.begin(), shipped.value().text.end(), '\n'));
}

TEST_F(RulesE2E, SixProcessesAddingAtOnceLoseNothing) {
    std::vector<std::future<ProcessResult>> runs;
    std::vector<std::string> paths;
    for (int i = 0; i < 6; ++i) {
        paths.push_back("/srv/container-" + std::to_string(i));
        runs.push_back(std::async(std::launch::async, [this, path = paths.back()] {
            return run({"add-file", path, "1"});
        }));
    }
    for (auto &r : runs) {
        ProcessResult result = r.get();
        EXPECT_TRUE(result.out.ends_with("result: 0\n")) << result.out << result.err;
    }
    auto doc = zorva::scene::parsePolicy(readFile(kSceneDocumentPath));
    ASSERT_TRUE(doc.ok());
    std::vector<std::string> listed =
        *findVariable(doc.value(), "container.filectl.filectl_write_list").value()->value.stringList();
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, paths);
    std::vector<std::string> inText = *policyFile().model.sections[2].variables[1].value.stringList();
    std::sort(inText.begin(), inText.end());
    EXPECT_EQ(inText, paths);
    EXPECT_FALSE(fileExists(kMark));
}

TEST_F(RulesE2E, BadInputChangesNothing) {
    ASSERT_EQ(run({"add-file", "/a", "0"}).out, "result: 0\n");
    calls();
    const std::string doc = readFile(kSceneDocumentPath), text = readFile(kPolicy);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"add-file", "-", "0"}, "path is null\nresult: -1\n"},
        {{"add-file", "", "0"}, "invalid path \"\": not absolute\nresult: -1\n"},
        {{"add-net", "bin/sh"}, "invalid path \"bin/sh\": not absolute\nresult: -1\n"},
        {{"remove-file", "/a/../etc", "0"}, "invalid path \"/a/../etc\": \"..\" component\nresult: -1\n"},
        {{"add-file", "//etc", "0"}, "invalid path \"//etc\": empty component (\"//\")\nresult: -1\n"},
        {{"add-file", "/etc/", "1"}, "invalid path \"/etc/\": trailing \"/\"\nresult: -1\n"},
        {{"add-file", "/" + std::string(4095, 'x'), "0"}, "invalid path: 4096 bytes, longer than 4095\nresult: -1\n"},
        {{"add-file", "/bad\xc3", "0"}, "invalid path \"/bad\\xc3\": not valid UTF-8 at byte 4\nresult: -1\n"},
        {{"add-net", "/new\nline"}, "invalid path \"/new\\nline\": control character at byte 4\nresult: -1\n"},
        {{"add-file", "/a", "3"}, "invalid file-control mode 3\nresult: -1\n"},
        {{"remove-file", "/a", "4294967295"}, "invalid file-control mode 4294967295\nresult: -1\n"},
        {{"--null-addon", "add-file", "/b", "0"}, "invalid addon kind: addon info is null\nresult: -14\n"},
        {{"--kind", "3", "remove-net", "/b"}, "invalid addon kind: 3\nresult: -14\n"},
    };
    for (const auto &[args, out] : cases)
        EXPECT_EQ(run(args).out, out);
    fs::copy_file(kDaemonPath, "/usr/sbin/zorva-daemon.old", fs::copy_options::overwrite_existing);
    EXPECT_EQ(runProcess({"/usr/sbin/zorva-daemon.old", "add-file", "/b", "0"}, "", scene_e2e::libraryEnv(false)).out,
              "permission denied: caller /usr/sbin/zorva-daemon.old is not the zorva daemon\nresult: -4\n");
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(readFile(kSceneDocumentPath), doc);
    EXPECT_EQ(readFile(kPolicy), text);
}

TEST_F(RulesE2E, BadDocumentsChangeNothing) {
    const std::string shipped = readFile(kSceneDocumentPath);
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string d = shipped;
        return d.replace(d.find(from), from.size(), to);
    };
    std::string huge = shipped;
    huge.insert(huge.rfind('}'), ", \"pad\": \"" + std::string(50u << 20, 'x') + "\"");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {replaced("\"type\": \"path\"", "\"type\": \"container\""), "result: 1\n"},  // no variant matches
        {replaced("\"type\": \"path\",\n                    \"value\": []",
                  "\"type\": \"uid\",\n                    \"value\": []"),
         "when updating str list data: variable container.filectl.filectl_list is not a string list\nresult: -100\n"},
        {replaced("\"type\": \"filectl\"", "\"type\": \"files\""),
         "when updating str list data: variable name not found\nresult: -3\n"},
        {huge, "failed to read " + kSceneDocumentPath + ": larger than 33554432 bytes\nresult: 1\n"},
        {"{\"scene\": [", "result: 1\n"},
    };
    for (const auto &[document, out] : cases) {
        writeFile(kSceneDocumentPath, document);
        ProcessResult r = run({"add-file", "/a", "0"});
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;  // its line and the result
        EXPECT_TRUE(r.out.ends_with(out)) << r.out;
        EXPECT_EQ(readFile(kSceneDocumentPath), document);
        EXPECT_FALSE(fs::exists(kPolicyDir));
    }
    writeFile(kSceneDocumentPath, replaced("\"type\": \"netctl\"", "\"type\": \"network\""));
    EXPECT_EQ(run({"add-net", "/bin/nc"}).out, "when updating str list data: variable name not found\nresult: -3\n");
    EXPECT_TRUE(calls().empty());
}

TEST_F(RulesE2E, ProductInfoSelectsOnlyADirectoryNoUserCanChange) {
    const std::string chosen = "/usr/lib/zorva-test-pluginmgr";
    fs::create_directories(chosen);
    fs::permissions(chosen, fs::perms(0755));
    fs::rename(kPluginMgr, chosen + "/libzorva_scene_pluginmgr.so.0");
    writeFile(kProductInfo, "NAME=\"Test OS\"\nSCENE_PLUGINMGR_LIBDIR=\"" + chosen + "\"\n");
    EXPECT_EQ(run({"add-file", "/a", "0"}).out, "result: 0\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{mergeCall(), "compileInitPolicy"}));

    const std::string refused =
        "dlopen_zorva2_scene_plugin_merge_policy failed: plugin manager directory \"" + chosen + "\" refused: ";
    fs::permissions(chosen, fs::perms(0775));
    EXPECT_EQ(run({"add-file", "/b", "0"}).out, refused + "writable by group or others\nresult: -100\n");
    fs::permissions(chosen, fs::perms(0755));
    ASSERT_EQ(::chown(chosen.c_str(), 1000, 1000), 0);
    EXPECT_EQ(run({"add-file", "/b", "0"}).out, refused + "owned by uid 1000, not by root\nresult: -100\n");
    writeFile(kProductInfo, "SCENE_PLUGINMGR_LIBDIR=usr/local/lib\n");
    EXPECT_EQ(run({"add-file", "/b", "0"}).out, "dlopen_zorva2_scene_plugin_merge_policy failed: plugin manager "
                                                "directory \"usr/local/lib\" refused: not absolute\nresult: -100\n");
    fs::remove(kProductInfo);
    ASSERT_EQ(::mkfifo(kProductInfo.c_str(), 0600), 0);
    EXPECT_EQ(run({"add-file", "/b", "0"}).out, "dlopen_zorva2_scene_plugin_merge_policy failed: failed to read " +
                                                    kProductInfo + ": not a regular file\nresult: -100\n");
    EXPECT_TRUE(calls().empty());  // nothing merged, nothing deployed
    EXPECT_TRUE(fileExists(kMark));
}

TEST_F(RulesE2E, FilesThatAreNotRegularAreNotWaitedOn) {
    fs::remove(kKernelStatus);
    ASSERT_EQ(::mkfifo(kKernelStatus.c_str(), 0600), 0);  // counts as 0
    EXPECT_EQ(run({"add-file", "/a", "0"}).out, "result: 0\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{mergeCall(), "compileInitPolicy"}));
    fs::remove(kPolicy);
    ASSERT_EQ(::mkfifo(kPolicy.c_str(), 0600), 0);  // not ours: replaced, everything deployed
    EXPECT_EQ(run({"add-file", "/b", "0"}).out, "result: 0\n");
    EXPECT_EQ(calls(), (std::vector<std::string>{mergeCall(), "compileInitPolicy"}));
    EXPECT_TRUE(fs::is_regular_file(kPolicy));
    fs::remove(kSceneDocumentPath);
    ASSERT_EQ(::mkfifo(kSceneDocumentPath.c_str(), 0600), 0);
    EXPECT_EQ(run({"add-file", "/c", "0"}).out,
              "failed to read " + kSceneDocumentPath + ": not a regular file\nresult: 1\n");
}
