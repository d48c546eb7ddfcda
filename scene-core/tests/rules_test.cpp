// The rule operations below the exported functions, on temporary files with
// a fake interpreter and a fake plugin manager: entry checks, what is
// written and called for each change, failures and the pending deployment.
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "filectl/filectl_lists.h"
#include "interpreter_fake.h"
#include "netctl/netctl_lists.h"
#include "policy/document_file.h"
#include "policy/rule_operation.h"
#include "test_util.h"

using namespace zorva::scene;
using vrex::testing::CaptureOutput;
using vrex::testing::fileExists;
using vrex::testing::readFile;
using vrex::testing::TempDir;
using vrex::testing::writeFile;

namespace {

// The plugin manager's merge function, recorded; fails with `mergeResult`.
std::vector<std::string> merges;
int mergeResult = 0;
bool mergeMissing = false;
int mergeHandle;
int fakeMerge(const char *scene, const char *path) {
    merges.push_back(std::string(scene) + " " + path);
    return mergeResult;
}

class RuleOperations : public ::testing::Test {
protected:
    void SetUp() override {
        merges.clear();
        mergeResult = 0;
        mergeMissing = false;
        loader_ = PluginManagerLoader{
            dir_.file("productinfo"),
            dir_.path(),
            [](const char *, int) -> void * { return &mergeHandle; },
            [](void *, const char *name) -> void * {
                return mergeMissing || std::string(name) != kPluginManagerMerge ? nullptr
                                                                                : reinterpret_cast<void *>(&fakeMerge);
            },
            [](void *) { return 0; },
            []() -> const char * { return nullptr; },
        };
        ctx_.documentPath = dir_.file("scene/zorva_container.json");
        ctx_.policyPath = dir_.file("policy/zorva_container.policy");
        ctx_.pendingMarkPath = ctx_.policyPath + ".pending";
        ctx_.kernelPolicyStatusPath = dir_.file("status");
        ctx_.sceneName = "zorva_container";
        ctx_.interpreter = &fake_.table();
        ctx_.pluginManager = &loader_;
        ctx_.callerExecutable = [] { return std::string("/usr/sbin/zorva-daemon"); };
        ::mkdir(dir_.file("scene").c_str(), 0755);
        writeFile(ctx_.documentPath, readFile(VREX_DEFAULT_SCENE_DOCUMENT));
        writeFile(ctx_.kernelPolicyStatusPath, "0\n");
    }

    int32_t addFile(const char *path, uint32_t mode = 0, const zorva_scene_addon_info *addon = &kAddon) {
        return runPathRule(ctx_, RuleAction::Add, path, &filectlListForMode, mode, addon);
    }
    int32_t removeFile(const char *path, uint32_t mode = 0) {
        return runPathRule(ctx_, RuleAction::Remove, path, &filectlListForMode, mode, &kAddon);
    }
    int32_t addNet(const char *path) { return runPathRule(ctx_, RuleAction::Add, path, &netctlList, 0, &kAddon); }

    std::vector<std::string> list(const char *name) {
        Policy p = loadPolicy(ctx_.documentPath).value();
        return *findVariable(p, name).value()->value.stringList();
    }
    bool pending() const { return fileExists(ctx_.pendingMarkPath); }

    // Runs `op` and expects exactly this output and these interpreter calls.
    template <typename Op>
    void expectRun(Op op, int32_t code, const std::string &out, const std::vector<std::string> &calls) {
        fake_.clearCalls();
        CaptureOutput capture;
        EXPECT_EQ(op(), code);
        EXPECT_EQ(capture.out(), out);
        EXPECT_EQ(fake_.calls(), calls);
    }

    static constexpr zorva_scene_addon_info kAddon{"zorva_container", 0};
    TempDir dir_;
    InterpreterFake fake_;
    PluginManagerLoader loader_{};
    RuleContext ctx_;
};

}  // namespace

TEST_F(RuleOperations, EntryChecksComeInOrderAndTouchNothing) {
    const std::string before = readFile(ctx_.documentPath);
    const zorva_scene_addon_info badKind{"x", 3}, negativeKind{"x", -1};
    struct Case {
        std::function<int32_t()> op;
        int32_t code;
        std::string line;
    };
    auto notDaemon = [this](const char *path) {
        RuleContext other = ctx_;
        other.callerExecutable = [] { return std::string("/usr/sbin/zorva-daemon2"); };
        return runPathRule(other, RuleAction::Add, path, &filectlListForMode, 7, nullptr);
    };
    const std::vector<Case> cases = {
        {[&] { return notDaemon(nullptr); }, -4,
         "permission denied: caller /usr/sbin/zorva-daemon2 is not the zorva daemon\n"},
        {[&] { return addFile(nullptr, 7, nullptr); }, -1, "path is null\n"},
        {[&] { return addFile("rel", 7, nullptr); }, -1, "invalid path \"rel\": not absolute\n"},
        {[&] { return addFile("/ok", 3, nullptr); }, -1, "invalid file-control mode 3\n"},
        {[&] { return addFile("/ok", 4294967295u, nullptr); }, -1, "invalid file-control mode 4294967295\n"},
        {[&] { return addFile("/ok", 2, nullptr); }, -14, "invalid addon kind: addon info is null\n"},
        {[&] { return addFile("/ok", 2, &badKind); }, -14, "invalid addon kind: 3\n"},
        {[&] { return addFile("/ok", 2, &negativeKind); }, -14, "invalid addon kind: -1\n"},
        {[&] { return removeFile("/absent", 1); }, -3,
         "path \"/absent\" not found in container.filectl.filectl_write_list\n"},
    };
    for (const auto &c : cases) {
        CaptureOutput out;
        EXPECT_EQ(c.op(), c.code) << c.line;
        EXPECT_EQ(out.out(), c.line);
    }
    EXPECT_EQ(readFile(ctx_.documentPath), before);
    EXPECT_FALSE(fileExists(ctx_.policyPath));
    EXPECT_FALSE(pending());
    EXPECT_TRUE(fake_.calls().empty());
    EXPECT_TRUE(merges.empty());
}

TEST_F(RuleOperations, PathsMustBeAbsoluteNormalisedPrintableUtf8) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "not absolute"},
        {"etc/shadow", "not absolute"},
        {"/etc/../shadow", "\"..\" component"},
        {"/etc/./shadow", "\".\" component"},
        {"/etc//shadow", "empty component (\"//\")"},
        {"/etc/", "trailing \"/\""},
        {"/tab\there", "control character at byte 4"},
        {"/del\x7f", "control character at byte 4"},
        {"/c1\xc2\x85", "control character at byte 3"},
        {"/bad\xff", "not valid UTF-8 at byte 4"},
        {"/" + std::string(4095, 'a'), "invalid path: 4096 bytes, longer than 4095"},
    };
    for (const auto &[path, why] : refused) {
        CaptureOutput out;
        EXPECT_EQ(addFile(path.c_str()), -1) << path;
        const std::string line = out.out();
        EXPECT_NE(line.find(why), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    }
    const std::vector<std::string> accepted = {"/",
                                               "/" + std::string(4094, 'a'),
                                               "/etc/shadow",
                                               "/a b/\"c\"",
                                               "/\xe6\x96\x87\xe4\xbb\xb6",
                                               "/...",
                                               "/.hidden",
                                               "/a\xe2\x80\xa8z"};
    for (const auto &path : accepted)
        EXPECT_EQ(addFile(path.c_str()), 0) << path;
    EXPECT_EQ(list(kFilectlAccessList), accepted);  // in the order of adding
}

TEST_F(RuleOperations, FirstChangeDeploysEverythingThenOnlyChangedSections) {
    const std::string merge = "zorva_container " + ctx_.policyPath;
    expectRun([&] { return addFile("/etc/shadow"); }, 0, "", {"compileInitPolicy"});
    EXPECT_EQ(merges, std::vector<std::string>{merge});
    EXPECT_EQ(readFile(ctx_.policyPath), generatePolicyText(loadPolicy(ctx_.documentPath).value()).value().text);
    EXPECT_FALSE(pending());

    // The section text compiled is the one now in the file.
    auto expectSectionChange = [&](const std::function<int32_t()> &op, size_t index, const std::string &name) {
        fake_.clearCalls();
        CaptureOutput out;
        EXPECT_EQ(op(), 0);
        EXPECT_EQ(out.out(), "change section: " + name + "\n");
        auto text = parsePolicyText(readFile(ctx_.policyPath));
        ASSERT_TRUE(text.ok());
        EXPECT_EQ(fake_.calls(), (std::vector<std::string>{"compileSectionPolicy " + name + " " +
                                                               std::string(text.value().sectionText(index)),
                                                           "sendPolicy"}));
    };
    expectSectionChange([&] { return addNet("/usr/bin/curl"); }, 3, "container.netctl");
    expectSectionChange([&] { return removeFile("/etc/shadow"); }, 2, "container.filectl");
    EXPECT_TRUE(list(kFilectlAccessList).empty());
    EXPECT_EQ(merges.size(), 3u);
}

TEST_F(RuleOperations, RepeatedAddWritesAndCallsNothing) {
    ASSERT_EQ(addFile("/a", 2), 0);
    struct stat docBefore {
    }, textBefore{};
    ::stat(ctx_.documentPath.c_str(), &docBefore);
    ::stat(ctx_.policyPath.c_str(), &textBefore);
    merges.clear();
    expectRun([&] { return addFile("/a", 2); }, 0, "", {});
    struct stat docAfter {
    }, textAfter{};
    ::stat(ctx_.documentPath.c_str(), &docAfter);
    ::stat(ctx_.policyPath.c_str(), &textAfter);
    EXPECT_EQ(docAfter.st_ino, docBefore.st_ino);  // not even rewritten
    EXPECT_EQ(textAfter.st_ino, textBefore.st_ino);
    EXPECT_TRUE(merges.empty());
    EXPECT_EQ(list(kFilectlUnlinkList), std::vector<std::string>{"/a"});
}

TEST_F(RuleOperations, RemoveTakesEveryCopyOfAPathOut) {
    std::string doc = readFile(ctx_.documentPath);
    doc.replace(doc.find("\"value\": []"), 11, "\"value\": [\"/a\", \"/b\", \"/a\"]");
    writeFile(ctx_.documentPath, doc);
    EXPECT_EQ(removeFile("/a"), 0);
    EXPECT_EQ(list(kFilectlAccessList), std::vector<std::string>{"/b"});
}

TEST_F(RuleOperations, KernelRunningAPolicyDeploysInsteadOfCompilingAnew) {
    writeFile(ctx_.kernelPolicyStatusPath, "1\n");
    expectRun([&] { return addFile("/a"); }, 0, "", {"deployPolicy"});
}

TEST_F(RuleOperations, DynamicModuleChangesItsListInPlaceOnce) {
    std::string doc = readFile(ctx_.documentPath);
    doc.replace(doc.find("\"type\": \"filectl\","), 18, "\"type\": \"filectl\", \"enable_dyn_changed\": true,");
    writeFile(ctx_.documentPath, doc);
    ASSERT_EQ(addFile("/a"), 0);  // first: a full deployment

    writeFile(ctx_.documentPath, doc.replace(doc.find("\"value\": []"), 11, "\"value\": [\"/a\"]"));
    expectRun([&] { return addFile("/b c"); }, 0, "change dyn_var: container.filectl.filectl_list\n",
              {"modifyDynamicVariable container.filectl.filectl_list [\"/a\", \"/b c\"] 3"});
    // The flag is not written back: the next change compiles the section.
    fake_.clearCalls();
    EXPECT_EQ(addFile("/d"), 0);
    EXPECT_EQ(fake_.calls().size(), 2u);
    EXPECT_EQ(fake_.calls().back(), "sendPolicy");
}

TEST_F(RuleOperations, FailedDeploymentStaysPendingUntilTheNextOperationDeploysAll) {
    ASSERT_EQ(addFile("/first"), 0);
    struct Case {
        const char *failing;  // an interpreter function, or "merge"
        int32_t code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"compileSectionPolicy", -17,
         "change section: container.filectl\n"
         "failed to compile section policy: container.filectl, ret=5\n"},
        {"sendPolicy", -15, "change section: container.filectl\nfailed to send compiled section policy, ret=5\n"},
        {"merge", -100, "zorva2_scene_plugin_merge_policy failed, ret=5\n"},
        {"missing", -100,
         "dlopen_zorva2_scene_plugin_merge_policy failed: zorva2_scene_plugin_merge_policy not "
         "found\n"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string path = "/p" + std::to_string(n++);
        fake_.succeedAll();
        fake_.failWith(c.failing, 5);
        mergeResult = std::string(c.failing) == "merge" ? 5 : 0;
        mergeMissing = std::string(c.failing) == "missing";
        {
            CaptureOutput out;
            EXPECT_EQ(addFile(path.c_str()), c.code) << c.failing;
            EXPECT_EQ(out.out(), c.line);
        }
        EXPECT_TRUE(pending()) << c.failing;
        EXPECT_EQ(list(kFilectlAccessList).back(), path);  // the document keeps the change
        // The next operation deploys everything, even one that changes nothing.
        mergeResult = 0;
        mergeMissing = false;
        fake_.succeedAll();
        expectRun([&] { return addFile(path.c_str()); }, 0, "", {"compileInitPolicy"});
        EXPECT_FALSE(pending());
    }
    // A full deployment that fails stays pending too.
    fake_.failWith("sendPolicy", 9);
    ASSERT_EQ(addFile("/x"), -15);
    fake_.succeedAll();
    fake_.failWith("compileInitPolicy", 9);
    expectRun([&] { return addFile("/x"); }, -13, "init policy compile policy failed ret:9\n", {"compileInitPolicy"});
    EXPECT_TRUE(pending());
}

TEST_F(RuleOperations, AMarkLeftByAKilledProcessMeansAFullDeployment) {
    ASSERT_EQ(addFile("/a"), 0);
    writeFile(ctx_.pendingMarkPath, "");
    expectRun([&] { return removeFile("/a"); }, 0, "", {"compileInitPolicy"});
    EXPECT_FALSE(pending());
    // An old text that is not ours is no basis for a change either.
    writeFile(ctx_.policyPath, "hand-written policy\n");
    expectRun([&] { return addFile("/b"); }, 0, "", {"compileInitPolicy"});
}

TEST_F(RuleOperations, BadDocumentsAndUnwritablePolicyFileGiveTheirCodes) {
    const std::string shipped = readFile(ctx_.documentPath);
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string d = shipped;
        return d.replace(d.find(from), from.size(), to);
    };
    struct Case {
        std::string document;
        int32_t code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {replaced("\"name\": \"filectl_list\",\n                  \"value\": {\n                    \"type\": \"path\"",
                  "\"name\": \"filectl_list\",\n \"value\": {\"type\": \"uid\""),
         -100, "when updating str list data: variable container.filectl.filectl_list is not a string list\n"},
        {replaced("\"type\": \"filectl\"", "\"type\": \"filecontrol\""), -3,
         "when updating str list data: variable name not found\n"},
        {replaced("\"type\": \"netctl\"", "\"type\": \"net.ctl\""), -5,
         "failed to generate the policy text: module type \"net.ctl\" is not a name ([A-Za-z0-9_-], at most 255 "
         "bytes)\n"},
        {"{\"scene\": \"x\"", 1, ""},
    };
    for (const auto &c : cases) {
        writeFile(ctx_.documentPath, c.document);
        CaptureOutput out;
        EXPECT_EQ(addFile("/a"), c.code) << c.line;
        const std::string line = out.out();
        if (!c.line.empty()) {
            EXPECT_EQ(line, c.line);
        }
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(readFile(ctx_.documentPath), c.document);
        EXPECT_FALSE(fileExists(ctx_.policyPath));
        EXPECT_FALSE(pending());
    }
    EXPECT_TRUE(fake_.calls().empty());

    writeFile(ctx_.documentPath, shipped);
    ASSERT_EQ(::mkdir(dir_.file("policy").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(ctx_.policyPath.c_str(), 0755), 0);  // a directory where the text goes
    writeFile(ctx_.policyPath + "/keep", "");
    CaptureOutput out;
    EXPECT_EQ(addFile("/a"), -6);
    EXPECT_EQ(out.out().rfind("failed to write the policy file " + ctx_.policyPath + ": ", 0), 0u) << out.out();
    EXPECT_TRUE(pending());
}
