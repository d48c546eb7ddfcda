// The scene policy document: its JSON form, its failure messages, lookups and
// changes, and the file layer (size cap, crash-safe replacement).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "policy/document_file.h"
#include "policy/policy.h"
#include "test_util.h"

using namespace zorva::scene;
using vrex::testing::readFile;
using vrex::testing::TempDir;
using vrex::testing::writeFile;

namespace {

// One of everything: both rule forms, every variable kind, the read-only
// flags, unknown keys at several levels.
const char *kFullDocument = R"({
  "scene": "zorva_container", "enabled": true, "addon": "a", "priority": -3, "audit": true,
  "interactive": "notice", "third_party": false, "version": 7, "extra_root_key": {"x": [1, 2]},
  "modules": [{
    "type": "root", "enabled": true, "interactive": "authorize", "addon": "",
    "enable_dyn_changed": true, "section_changed": true, "unknown_module_key": 5,
    "rules": [
      {"name": "r1", "operation": "open", "user": "u", "subject": "s", "object": "o",
       "object_type": "file", "permission": ["read", "write"], "func": "f", "eval_func": "e", "junk": null},
      {"operation": "exec", "user": "", "subject": "", "object": "/bin/sh", "object_type": "file",
       "permission": [], "func": "", "eval_func": ""}
    ],
    "variables": [
      {"name": "uids", "value": {"type": "uid", "value": [0, 4294967295]}},
      {"name": "users", "value": {"type": "username", "value": ["root"]}},
      {"name": "mods", "value": {"type": "kmod", "value": []}},
      {"name": "paths", "value": {"type": "path", "value": ["/a"]}},
      {"name": "pkgs", "value": {"type": "package", "value": ["p"]}},
      {"name": "funcs", "value": {"type": "func", "value": ["g"]}},
      {"name": "pp", "value": {"type": "path_package", "value": ["/x:y"]}}
    ],
    "modules": [{
      "type": "container", "enabled": false, "interactive": "disabled", "addon": "c",
      "rules": [], "modules": [
        {"type": "filectl", "enabled": true, "interactive": "disabled", "addon": "", "rules": [], "modules": [],
         "variables": [{"name": "filectl_list", "value": {"type": "path", "value": ["/etc"]}}]}
      ],
      "variables": [
        {"name": "abc", "value": {"type": "container", "value": {"status": 2, "exectl": 1, "netctl": 0, "filectl": 3}}}
      ]
    }]
  }]
})";

Policy parseOk(const std::string &text) {
    auto p = parsePolicy(text);
    EXPECT_TRUE(p.ok()) << (p.ok() ? "" : p.error().chain());
    return p.ok() ? p.value() : Policy{};
}

std::string dumpOk(const Policy &p) {
    auto text = dumpPolicy(p);
    EXPECT_TRUE(text.ok());
    return text.ok() ? text.value() : std::string();
}

std::string loadError(const std::string &text) {
    auto p = parsePolicy(text);
    EXPECT_FALSE(p.ok()) << "accepted: " << text.substr(0, 200);
    return p.ok() ? std::string() : p.error().chain();
}

// A minimal valid document whose root module holds `variables`, spliced in.
std::string docWithRootVariables(const std::string &variables) {
    return R"({"scene":"s","enabled":true,"addon":"","priority":0,"audit":false,"interactive":"disabled",
      "third_party":false,"version":1,"modules":[{"type":"root","enabled":true,"interactive":"disabled",
      "modules":[],"rules":[],"addon":"","variables":[)" +
           variables + "]}]}";
}

}  // namespace

TEST(PolicyJson, DefaultDocumentRoundTripsByteForByte) {
    std::string shipped = readFile(VREX_DEFAULT_SCENE_DOCUMENT);
    Policy p = parseOk(shipped);
    EXPECT_EQ(dumpOk(p), shipped);
    EXPECT_EQ(p.scene, "zorva_container");
    for (const char *name : {"container.filectl.filectl_list", "container.filectl.filectl_write_list",
                             "container.filectl.filectl_unlink_list", "container.netctl.netctl_list"}) {
        auto var = findVariable(p, name);
        ASSERT_TRUE(var.ok()) << name;
        EXPECT_EQ(var.value()->value.kind(), VariableKind::Path) << name;
        EXPECT_NE(var.value()->value.stringList(), nullptr) << name;
    }
    EXPECT_TRUE(findModule(p, "container").ok());
}

TEST(PolicyJson, SaveAndReloadGiveTheSameDocumentButTheReadOnlyFlags) {
    Policy p = parseOk(kFullDocument);
    ASSERT_EQ(p.modules.size(), 1u);
    const Module &root = p.modules[0];
    EXPECT_TRUE(root.enable_dyn_changed);
    EXPECT_TRUE(root.section_changed);
    EXPECT_EQ(p.interactive, Interactive::Notice);
    EXPECT_EQ(root.interactive, Interactive::Authorize);
    EXPECT_EQ(p.priority, -3);
    ASSERT_EQ(root.variables.size(), 7u);
    EXPECT_EQ(*root.variables[0].value.uidList(), (std::vector<uint32_t>{0, 4294967295u}));
    EXPECT_EQ(root.variables[6].value.kind(), VariableKind::PathPackage);
    EXPECT_EQ(*root.modules[0].variables[0].value.containerValue(), (Container{2, 1, 0, 3}));

    std::string saved = dumpOk(p);
    Policy again = parseOk(saved);
    EXPECT_FALSE(again.modules[0].enable_dyn_changed);
    EXPECT_FALSE(again.modules[0].section_changed);
    p.modules[0].enable_dyn_changed = false;
    p.modules[0].section_changed = false;
    EXPECT_EQ(again, p);
    EXPECT_EQ(dumpOk(again), saved);
    EXPECT_EQ(saved.find("enable_dyn_changed"), std::string::npos);
    EXPECT_EQ(saved.find("section_changed"), std::string::npos);
}

TEST(PolicyJson, KeysAreWrittenInTheirOrderWithTwoBlankIndent) {
    Policy p = parseOk(kFullDocument);
    std::string saved = dumpOk(p);
    auto pos = [&](const char *key, size_t from = 0) { return saved.find(std::string("\"") + key + "\":", from); };
    std::vector<size_t> rootOrder = {pos("scene"),       pos("enabled"), pos("addon"),
                                     pos("priority"),    pos("audit"),   pos("interactive"),
                                     pos("third_party"), pos("version"), pos("modules")};
    EXPECT_TRUE(std::is_sorted(rootOrder.begin(), rootOrder.end()));
    size_t rule = pos("name", saved.find("\"rules\""));
    std::vector<size_t> ruleOrder = {rule,
                                     pos("operation", rule),
                                     pos("user", rule),
                                     pos("subject", rule),
                                     pos("object", rule),
                                     pos("object_type", rule),
                                     pos("permission", rule),
                                     pos("func", rule),
                                     pos("eval_func", rule)};
    EXPECT_TRUE(std::is_sorted(ruleOrder.begin(), ruleOrder.end()));
    EXPECT_NE(saved.find("\n  \"scene\": \"zorva_container\",\n"), std::string::npos);
    EXPECT_NE(saved.find("\n    {\n      \"type\": \"root\",\n      \"enabled\": true,\n      \"interactive\": "
                         "\"authorize\",\n      \"modules\": ["),
              std::string::npos);
    EXPECT_NE(saved.find("{\n                \"type\": \"container\",\n                \"value\": {\n"
                         "                  \"status\": 2,\n                  \"exectl\": 1,\n"
                         "                  \"netctl\": 0,\n                  \"filectl\": 3\n"),
              std::string::npos);
    EXPECT_EQ(saved.back(), '\n');
}

TEST(PolicyJson, RuleWithoutNameLoadsAndIsSavedWithoutName) {
    Policy p = parseOk(kFullDocument);
    const auto &rules = p.modules[0].rules;
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].name, std::optional<std::string>("r1"));
    EXPECT_FALSE(rules[1].name.has_value());
    Json saved = Json::parse(dumpOk(p));
    const Json &savedRules = saved["modules"][0]["rules"];
    EXPECT_EQ(savedRules[0].begin().key(), "name");
    EXPECT_FALSE(savedRules[1].contains("name"));
    EXPECT_EQ(savedRules[1].begin().key(), "operation");
}

TEST(PolicyJson, UnknownKeysAreIgnoredAndDropped) {
    std::string saved = dumpOk(parseOk(kFullDocument));
    for (const char *key : {"extra_root_key", "unknown_module_key", "junk"})
        EXPECT_EQ(saved.find(key), std::string::npos) << key;
}

TEST(PolicyJson, InteractiveTextIsCaseSensitive) {
    const std::string base = docWithRootVariables("");
    for (const char *text : {"Notice", "DISABLED", "Authorize", "notice "}) {
        std::string doc = base;
        doc.replace(doc.find("\"disabled\""), 10, std::string("\"") + text + "\"");
        EXPECT_EQ(loadError(doc), std::string("when deserializing loaded json bytes to policy: failed to convert to "
                                              "Interactive :invalid value \"") +
                                      text + "\"");
    }
    std::string doc = base;
    doc.replace(doc.find("\"disabled\""), 10, "2");
    EXPECT_EQ(loadError(doc), "when deserializing loaded json bytes to policy: invalid interactive value : invalid "
                              "type: number, expected string representation of interactive enum");
}

TEST(PolicyJson, VariableMatchingNoVariantIsRefused) {
    const std::string expected =
        "when deserializing loaded json bytes to policy: data did not match any variant of untagged enum VariableTypes";
    for (const char *value : {
             R"({"type": "uids", "value": []})",                                            // unknown variant
             R"({"type": "uid", "value": [-1]})",                                           // negative uid
             R"({"type": "uid", "value": [4294967296]})",                                   // uid beyond 32 bits
             R"({"type": "uid", "value": ["0"]})",                                          // uid as text
             R"({"type": "path", "value": [1]})",                                           // number in a string list
             R"({"type": "path", "value": "/etc"})",                                        // not a list
             R"({"type": "path"})",                                                         // no payload
             R"({"value": []})",                                                            // no tag
             R"({"type": 3, "value": []})",                                                 // tag not text
             R"({"type": "container", "value": {"status": 2, "exectl": 1, "netctl": 0}})",  // field missing
             R"({"type": "container", "value": {"status": 2.5, "exectl": 1, "netctl": 0, "filectl": 0}})",
             R"(["path", []])",
         }) {
        EXPECT_EQ(loadError(docWithRootVariables(std::string(R"({"name": "v", "value": )") + value + "}")), expected)
            << value;
    }
}

TEST(PolicyJson, MalformedDocumentsFailWithTheDeserializingContext) {
    std::string good = docWithRootVariables("");
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "[";
    for (const std::string &doc : {
             std::string(),                     // empty
             good.substr(0, good.size() / 2),   // truncated
             std::string("not json at all"),    // not JSON
             std::string("[]"),                 // wrong root type
             std::string("{\"scene\": 1}"),     // wrong member type
             std::string(R"({"scene": "s"})"),  // missing members
             std::string(good).replace(good.find("\"priority\":0"), 12, "\"priority\":2147483648"),
             std::string(good).replace(good.find("\"version\":1"), 11, "\"version\":1.5"),
             std::string(good).replace(good.find("\"audit\":false"), 13, "\"audit\":0"),
             std::string(good).replace(good.find("\"rules\":[]"), 10, "\"rules\":[{}]"),
             std::string("{\"scene\":") + deep,  // very deep, unterminated
             std::string(good).insert(good.size() - 1, ",\"x\":" + deep),
         }) {
        auto p = parsePolicy(doc);
        ASSERT_FALSE(p.ok()) << doc.substr(0, 120);
        EXPECT_EQ(p.error().messages().front(), "when deserializing loaded json bytes to policy");
        EXPECT_EQ(p.error().code(), 1) << "parse errors are not of the library's own kinds";
    }
}

TEST(PolicyJson, ModuleTreesLoadTo128LevelsAndAreRefusedBeyond) {
    auto nested = [](int levels) {
        std::string m = R"({"type":"leaf","enabled":true,"interactive":"disabled","modules":[],"rules":[],)"
                        R"("variables":[],"addon":""})";
        for (int i = 1; i < levels; ++i)
            m = R"({"type":"m","enabled":true,"interactive":"disabled","rules":[],"variables":[],"addon":"",)"
                R"("modules":[)" +
                m + "]}";
        return R"({"scene":"s","enabled":true,"addon":"","priority":0,"audit":false,"interactive":"disabled",)"
               R"("third_party":false,"version":1,"modules":[)" +
               m + "]}";
    };
    Policy p = parseOk(nested(100));
    EXPECT_EQ(parseOk(dumpOk(p)), p);
    EXPECT_TRUE(parsePolicy(nested(kMaxModuleDepth)).ok());
    EXPECT_EQ(loadError(nested(kMaxModuleDepth + 1)),
              "when deserializing loaded json bytes to policy: module tree deeper than 128 levels");
    EXPECT_FALSE(parsePolicy(nested(5000)).ok());
}

class PolicyLookup : public ::testing::Test {
protected:
    Policy policy = parseOk(kFullDocument);
};

TEST_F(PolicyLookup, ModulesAreFoundFromTheRootOrReportedMissing) {
    auto container = findModule(policy, "container");
    ASSERT_TRUE(container.ok());
    EXPECT_EQ(container.value()->addon, "c");
    EXPECT_EQ(findModule(policy, "filectl").value()->type, "filectl");

    policy.modules[0].modules.clear();
    auto missing = findModule(policy, "container");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().chain(), "Container module not found in policy");
    EXPECT_EQ(missing.error().code(), -100);

    policy.modules.clear();
    auto noRoot = findModule(policy, "container");
    ASSERT_FALSE(noRoot.ok());
    EXPECT_EQ(noRoot.error().chain(), "root module not found");
    EXPECT_EQ(noRoot.error().code(), -100);
    EXPECT_EQ(findVariable(policy, "container.filectl.filectl_list").error().chain(), "root module not found");
}

TEST_F(PolicyLookup, ADocumentWhoseTopModuleIsTheContainerModuleWorksAlike) {
    // Without the "root" wrapper: the container module is the root itself.
    Module container = policy.modules[0].modules[0];
    Module other = container;
    other.type = "other";
    policy.modules = {container};
    EXPECT_EQ(findModule(policy, "container").value(), &policy.modules[0]);
    EXPECT_EQ(findModule(policy, "filectl").value()->type, "filectl");
    EXPECT_EQ(*findVariable(policy, "container.filectl.filectl_list").value()->value.stringList(),
              std::vector<std::string>{"/etc"});
    EXPECT_TRUE(findVariable(policy, "container.abc").ok());
    for (const char *name : {"abc", "container.filectl", "container.nothing", "container.netctl.filectl_list"})
        EXPECT_EQ(findVariable(policy, name).error().chain(), "variable name not found") << name;
    // ...also when another top-level module comes first.
    policy.modules = {other, container};
    EXPECT_EQ(findModule(policy, "container").value(), &policy.modules[1]);
}

TEST_F(PolicyLookup, DottedNamesWalkModuleTypesThenTheVariableName) {
    auto var = findVariable(policy, "container.filectl.filectl_list");
    ASSERT_TRUE(var.ok());
    EXPECT_EQ(*var.value()->value.stringList(), std::vector<std::string>{"/etc"});
    EXPECT_TRUE(findVariable(policy, "container.abc").ok());
    for (const char *name : {"container.filectl.nothing", "filectl.filectl_list", "container.netctl.netctl_list",
                             "paths", "", ".", "container.", "container.filectl.filectl_list.more"}) {
        auto missing = findVariable(policy, name);
        ASSERT_FALSE(missing.ok()) << name;
        EXPECT_EQ(missing.error().chain(), "variable name not found") << name;
        EXPECT_EQ(missing.error().code(), -3) << name;
    }
}

TEST_F(PolicyLookup, StringListsAreReplacedAndOtherKindsRefused) {
    ASSERT_TRUE(updateStringList(policy, "container.filectl.filectl_list", {"/a", "/b"}).ok());
    EXPECT_EQ(*findVariable(policy, "container.filectl.filectl_list").value()->value.stringList(),
              (std::vector<std::string>{"/a", "/b"}));
    auto wrongKind = updateStringList(policy, "container.abc", {"/a"});
    ASSERT_FALSE(wrongKind.ok());
    EXPECT_EQ(wrongKind.error().chain(), "when updating str list data: variable container.abc is not a string list");
    auto missing = updateStringList(policy, "container.filectl.nope", {});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().chain(), "when updating str list data: variable name not found");
}

TEST_F(PolicyLookup, ContainerStateIsTheFirstEntryOfThatNameAndOfContainerKind) {
    Module &container = *findModule(policy, "container").value();
    EXPECT_EQ(readContainerState(container, "abc").value(), (Container{2, 1, 0, 3}));
    auto missing = readContainerState(container, "abd");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().chain(), "container abd not found");
    EXPECT_EQ(missing.error().code(), -3);
    // An earlier entry of the same name but another kind hides the container entry.
    container.variables.insert(container.variables.begin(),
                               Variable{"abc", VariableTypes::strings(VariableKind::Path, {})});
    EXPECT_FALSE(readContainerState(container, "abc").ok());
}

TEST(ErrorChain, MessagesJoinOutermostFirstAndTheInnermostKindGivesTheCode) {
    Error e = Error(ErrorKind::AddNodeFailed, "add container node failed").context("middle").context("outer");
    EXPECT_EQ(e.chain(), "outer: middle: add container node failed");
    EXPECT_EQ(e.code(), -8);
    EXPECT_EQ(Error::foreign("disk on fire").context("save").code(), 1);
    EXPECT_EQ(Error::fromErrno("open", ENOENT).chain(), "open: No such file or directory");
    const int32_t table[] = {-100, -1, -100, -8, -8,  -100, -3,  -2,  -100, -3,  -100,
                             -100, -4, -5,   -6, -13, -10,  -17, -15, -16,  -100};
    for (int kind = 0; kind < 21; ++kind)
        EXPECT_EQ(codeForKind(static_cast<ErrorKind>(kind)), table[kind]) << kind;
}

class DocumentFile : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("zorva_container.json");

    std::vector<std::string> entries() { return vrex::testing::directoryEntries(dir.path()); }
};

TEST_F(DocumentFile, SaveReplacesTheFileKeepingItsModeAndLeavesNoTemporaryFile) {
    writeFile(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    Policy p = parseOk(kFullDocument);
    ASSERT_TRUE(savePolicy(path, p).ok());
    EXPECT_EQ(readFile(path), dumpOk(p));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), std::vector<std::string>{"zorva_container.json"});
    auto loaded = loadPolicy(path);
    ASSERT_TRUE(loaded.ok());
    p.modules[0].enable_dyn_changed = p.modules[0].section_changed = false;
    EXPECT_EQ(loaded.value(), p);
}

TEST_F(DocumentFile, FailedSaveKeepsTheOldContentAndRemovesTheTemporaryFile) {
    // A directory in the document's place makes the final rename fail.
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    auto saved = savePolicy(path, parseOk(kFullDocument));
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().messages().front(), "failed to save " + path);
    EXPECT_EQ(saved.error().code(), 1);
    EXPECT_EQ(entries(), std::vector<std::string>{"zorva_container.json"});

    auto noDir = savePolicy(dir.file("missing/doc.json"), parseOk(kFullDocument));
    ASSERT_FALSE(noDir.ok());
    EXPECT_NE(noDir.error().chain().find("No such file or directory"), std::string::npos);
}

TEST_F(DocumentFile, UnreadableOrOversizedDocumentsAreRefused) {
    auto missing = loadPolicy(path);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().chain(), "failed to read " + path + ": open: No such file or directory");
    EXPECT_EQ(missing.error().code(), 1);

    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    EXPECT_EQ(loadPolicy(dir.file("d")).error().chain(), "failed to read " + dir.file("d") + ": not a regular file");

    writeFile(path, std::string(50u * 1024 * 1024, ' '));
    auto big = loadPolicy(path);
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error().chain(), "failed to read " + path + ": larger than 33554432 bytes");
}

TEST(PolicyJson, WriterWritesWhatTheJsonLibraryWritesAndRefusesInvalidText) {
    Policy p = parseOk(kFullDocument);
    p.modules[0].addon =
        std::string("ctl \x01\x1f\x7f \b\f\n\r\t \"q\" \\ \xe6\x96\x87 \xf0\x9f\x98\x80 ", 29) + std::string(1, '\0');
    p.modules[0].variables.push_back({"uids", VariableTypes::uids({0, 4294967295u})});
    p.modules[0].variables.push_back({"c", VariableTypes::container({-1, 2, 3, 2147483647})});
    p.modules[0].modules.push_back(Module{});
    Json tree = p;
    EXPECT_EQ(dumpOk(p), tree.dump(2) + "\n");
    p.modules[0].type = "bad \xff";
    auto text = dumpPolicy(p);
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().chain(), "when serializing policy to json: invalid UTF-8 byte at index 4: 0xFF");
}
