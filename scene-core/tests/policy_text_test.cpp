// The policy text: its exact form, its stability, values that try to break
// out of their strings, and the parser's refusals.
#include <gtest/gtest.h>

#include "policy/policy_text.h"
#include "test_util.h"

using namespace zorva::scene;

namespace {

Policy shippedDocument() {
    auto p = parsePolicy(vrex::testing::readFile(VREX_DEFAULT_SCENE_DOCUMENT));
    EXPECT_TRUE(p.ok());
    return p.value();
}

std::vector<std::string> &listOf(Policy &p, const char *name) {
    return *findVariable(p, name).value()->value.stringList();
}

PolicyText generated(const Policy &p) {
    auto text = generatePolicyText(p);
    EXPECT_TRUE(text.ok()) << text.error().chain();
    return text.value();
}

Module module(std::string type, std::vector<Module> children = {}) {
    Module m;
    m.type = std::move(type);
    m.modules = std::move(children);
    return m;
}

}  // namespace

TEST(PolicyText, SmallDocumentHasExactlyThisText) {
    Policy p;
    p.scene = "zorva_container";
    p.enabled = true;
    p.priority = -3;
    p.version = 7;
    p.interactive = Interactive::Notice;
    Module filectl = module("filectl");
    filectl.interactive = Interactive::Authorize;
    filectl.variables.push_back({"users", VariableTypes::uids({0, 4294967295u})});
    filectl.variables.push_back({"filectl_list", VariableTypes::strings(VariableKind::Path, {"/a", "/b c"})});
    filectl.variables.push_back({"abc123", VariableTypes::container({2, 1, 1, 1})});  // not in the text
    filectl.rules.push_back(
        {std::nullopt, "deny", "*", "container", "$filectl_list", "path", {"read", "write"}, "", "check"});
    p.modules.push_back(module("root", {module("container", {filectl})}));
    EXPECT_EQ(generated(p).text,
              "zorva-policy 1\n"
              "# generated from the scene policy document; changes made here are overwritten\n"
              "scene \"zorva_container\" enabled=true addon=\"\" priority=-3 audit=false interactive=notice "
              "third_party=false version=7\n"
              "section \"root\" enabled=false interactive=disabled addon=\"\"\n"
              "end \"root\"\n"
              "section \"container\" enabled=false interactive=disabled addon=\"\"\n"
              "end \"container\"\n"
              "section \"container.filectl\" enabled=false interactive=authorize addon=\"\"\n"
              "  variable \"users\" uid [0, 4294967295]\n"
              "  variable \"filectl_list\" path [\"/a\", \"/b c\"]\n"
              "  rule operation=\"deny\" user=\"*\" subject=\"container\" object=\"$filectl_list\" "
              "object_type=\"path\" permission=[\"read\", \"write\"] func=\"\" eval_func=\"check\"\n"
              "end \"container.filectl\"\n");
}

TEST(PolicyText, ShippedDocumentIsACompletePolicyThatReadsBack) {
    Policy p = shippedDocument();
    PolicyText text = generated(p);
    auto back = parsePolicyText(text.text);
    ASSERT_TRUE(back.ok()) << back.error().chain();
    EXPECT_EQ(back.value().model, text.model);
    std::vector<std::string> names;
    for (const auto &s : text.model.sections)
        names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"root", "container", "container.filectl", "container.netctl"}));
    // Each list is the object (or, for programs, the subject) of a rule.
    for (const char *list : {"$filectl_list", "$filectl_write_list", "$filectl_unlink_list"})
        EXPECT_NE(text.text.find("object=\"" + std::string(list) + "\""), std::string::npos) << list;
    EXPECT_NE(text.text.find("subject=\"$netctl_list\""), std::string::npos);
}

TEST(PolicyText, IsStableAndAChangeTouchesOnlyItsSection) {
    Policy p = shippedDocument();
    PolicyText before = generated(p);
    EXPECT_EQ(generated(p).text, before.text);
    listOf(p, "container.netctl.netctl_list").push_back("/usr/bin/curl");
    PolicyText after = generated(p);
    ASSERT_EQ(after.model.sections.size(), before.model.sections.size());
    EXPECT_EQ(after.headerText(), before.headerText());
    for (size_t i = 0; i < after.model.sections.size(); ++i)
        EXPECT_EQ(after.sectionText(i) == before.sectionText(i), after.model.sections[i].name != "container.netctl")
            << after.model.sections[i].name;
}

TEST(PolicyText, NoPathCanAddEndOrChangeARule) {
    const std::vector<std::string> hostile = {
        "/x\", \"/etc/shadow",
        "/x\"]\n  rule operation=\"allow\" user=\"*\" subject=\"*\" object=\"*\" object_type=\"path\" "
        "permission=[] func=\"\" eval_func=\"\"",
        "/x\nend \"container.filectl\"\nsection \"evil\" enabled=true interactive=disabled addon=\"\"",
        "/back\\slash\\\"",
        "/ends with backslash\\",
        "/sp ace/, \"/comma",
        "/tab\there\rcr",
        std::string("/nul\0byte", 9),
        "/\x01\x1f\x7f",
        "/line\u2028sep\u2029para\u0085nel\u009fc1",
        "/bad\xff\xc0\x80utf8\xed\xa0\x80",
        "/\xe6\x96\x87\xe4\xbb\xb6",
        "/#comment",
        "/]",
        "/[",
        "/=x",
        "/  variable \"x\" path []"};
    Policy p = shippedDocument();
    for (const auto &path : hostile)
        listOf(p, "container.filectl.filectl_list").push_back(path);
    PolicyText text = generated(p);
    const PolicyText clean = generated(shippedDocument());
    // As many lines as without them: each path stays inside its string.
    EXPECT_EQ(std::count(text.text.begin(), text.text.end(), '\n'),
              std::count(clean.text.begin(), clean.text.end(), '\n'));
    auto back = parsePolicyText(text.text);
    ASSERT_TRUE(back.ok()) << back.error().chain();
    EXPECT_EQ(back.value().model, text.model);
    const PolicySection &filectl = back.value().model.sections[2];
    EXPECT_EQ(*filectl.variables[0].value.stringList(), hostile);
    EXPECT_EQ(filectl.rules, clean.model.sections[2].rules);
}

TEST(PolicyText, SectionNamesFollowTheModuleTree) {
    Policy p;
    p.modules = {module("container", {module("filectl", {module("deep")})}), module("other")};
    auto text = generatePolicyText(p);
    ASSERT_TRUE(text.ok());
    std::vector<std::string> names;
    for (const auto &s : text.value().model.sections)
        names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"container", "container.filectl", "container.filectl.deep", "other"}));
}

TEST(PolicyText, DocumentsWhoseSectionsCannotBeNamedAreRefused) {
    struct Case {
        std::vector<Module> modules;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{module("root", {module("a.b")})},
         "failed to generate the policy text: module type \"a.b\" is not a name ([A-Za-z0-9_-], at most 255 bytes)"},
        {{module("root", {module("")})}, "module type \"\" is not a name"},
        {{module("root", {module("x\ny")})}, "module type \"x\\ny\" is not a name"},
        {{module(std::string(256, 'a'))}, "is not a name"},
        {{module("root", {module("filectl"), module("filectl")})},
         "failed to generate the policy text: two modules make the section \"filectl\""},
        {{module("root", {module("root")})}, "two modules make the section \"root\""},
        {{module("container"), module("root", {module("container")})}, "two modules make the section \"container\""},
    };
    for (const auto &c : cases) {
        Policy p;
        p.modules = c.modules;
        auto text = generatePolicyText(p);
        ASSERT_FALSE(text.ok()) << c.error;
        EXPECT_NE(text.error().chain().find(c.error), std::string::npos) << text.error().chain();
        EXPECT_EQ(text.error().code(), -5);
    }
}

TEST(PolicyText, ParserRefusesAnythingButItsOwnForm) {
    const std::string good = generated(shippedDocument()).text;
    ASSERT_TRUE(parsePolicyText(good).ok());
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string t = good;
        size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return t.replace(at, from.size(), to);
    };
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "line 0: not a zorva policy text of format 1"},
        {"zorva-policy 2\n", "line 1: not a zorva policy text of format 1"},
        {good.substr(0, good.size() - 1), "the last line has no newline"},
        {"zorva-policy 1\n", "no scene line"},
        {replaced("priority=0", "priority=00"), "line 3: expected an integer"},
        {replaced("priority=0", "priority=+1"), "expected an integer"},
        {replaced("version=1", "version=2147483648"), "expected an integer"},
        {replaced("enabled=true", "enabled=yes"), "expected true or false"},
        {replaced("interactive=disabled", "interactive=Disabled"), "expected disabled, authorize or notice"},
        {replaced("path []", "container []"), "unknown variable type"},
        {replaced("path []", "path [1]"), "expected \"\"\""},
        {replaced("path []", "path [\"a\",\"b\"]"), "expected \", \""},
        {replaced("\"filectl_list\"", "\"filectl\\qlist\""), "bad escape"},
        {replaced("\"filectl_list\"", "\"filectl\\x4\""), "bad escape"},
        {replaced("\"filectl_list\"", "\"filectl\\u0041\""), "bad escape"},
        {replaced("\"filectl_list\"", "\"filectl\tlist\""), "control byte in a string"},
        {replaced("\"filectl_list\"", "\"filectl_list"), "unterminated string"},
        {replaced("end \"container.netctl\"", "end \"container.filectl\""), "\"end\" names another section"},
        {replaced("end \"container.netctl\"\n", ""), "section \"container.netctl\" has no end"},
        {replaced("  variable \"netctl_list\"", "# inside\n  variable \"netctl_list\""), "expected \"end \""},
        {replaced("eval_func=\"\"\n", "eval_func=\"\" \n"), "unexpected text at the end of the line"},
    };
    for (const auto &[text, error] : bad) {
        auto parsed = parsePolicyText(text);
        ASSERT_FALSE(parsed.ok()) << error;
        EXPECT_NE(parsed.error().chain().find(error), std::string::npos) << parsed.error().chain();
    }
    std::string twice = replaced("section \"container.netctl\"", "section \"container\"");
    twice.replace(twice.find("end \"container.netctl\""), 22, "end \"container\"");
    EXPECT_NE(parsePolicyText(twice).error().chain().find("section \"container\" appears twice"), std::string::npos);
    // A variable after a rule is not the written order.
    std::string moved = good;
    std::string netVar = "  variable \"netctl_list\" path []\n";
    moved.erase(moved.find(netVar), netVar.size());
    moved.insert(moved.find("end \"container.netctl\""), netVar);
    EXPECT_NE(parsePolicyText(moved).error().chain().find("a variable after the rules"), std::string::npos);
}
