// Choosing between a full deployment and a change of sections and dynamic
// variables, the kernel status file's say in it, and the interpreter calls.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "interpreter_fake.h"
#include "policy/deployment.h"
#include "test_util.h"

using namespace zorva::scene;
using vrex::testing::CaptureOutput;
using vrex::testing::TempDir;
using vrex::testing::writeFile;

namespace {

Policy shippedDocument() { return parsePolicy(vrex::testing::readFile(VREX_DEFAULT_SCENE_DOCUMENT)).value(); }

std::vector<std::string> &listOf(Policy &p, const char *name) {
    return *findVariable(p, name).value()->value.stringList();
}

PolicyText textOf(const Policy &p) { return generatePolicyText(p).value(); }

// The shipped document's sections: root, container, filectl, netctl.
const std::vector<bool> kNoneDynamic(4, false);
const std::vector<bool> kFilectlDynamic = {false, false, true, false};

}  // namespace

TEST(DeploymentPlan, FullWhenPendingOrWithoutAComparableOldText) {
    Policy p = shippedDocument();
    const PolicyText old = textOf(p);
    listOf(p, "container.filectl.filectl_list").push_back("/a");
    const PolicyText now = textOf(p);
    EXPECT_FALSE(planDeployment(old, now, kNoneDynamic, false).full);
    EXPECT_TRUE(planDeployment(old, now, kNoneDynamic, true).full);
    EXPECT_TRUE(planDeployment(std::nullopt, now, kNoneDynamic, false).full);
    Policy other = p;
    other.priority = 5;  // only the scene line differs
    EXPECT_TRUE(planDeployment(old, textOf(other), kNoneDynamic, false).full);
    Policy more = p;
    Module extra;
    extra.type = "extra";
    findModule(more, "netctl").value()->modules.push_back(extra);  // one section more
    EXPECT_TRUE(planDeployment(old, textOf(more), kNoneDynamic, false).full);
}

TEST(DeploymentPlan, ChangedSectionsOrTheirListsInDocumentOrder) {
    Policy p = shippedDocument();
    const PolicyText old = textOf(p);
    EXPECT_TRUE(planDeployment(old, old, kNoneDynamic, false).sections.empty());

    listOf(p, "container.netctl.netctl_list").push_back("/bin/nc");
    listOf(p, "container.filectl.filectl_unlink_list") = {"/a b", "/c\"d"};
    listOf(p, "container.filectl.filectl_list").push_back("/e");
    const PolicyText now = textOf(p);
    DeploymentPlan plan = planDeployment(old, now, kNoneDynamic, false);
    EXPECT_FALSE(plan.full);
    EXPECT_EQ(plan.sections, (std::vector<size_t>{2, 3}));
    EXPECT_TRUE(plan.variables.empty());

    // A dynamic module's lists change in place, in variable order.
    plan = planDeployment(old, now, kFilectlDynamic, false);
    EXPECT_EQ(plan.sections, (std::vector<size_t>{3}));
    ASSERT_EQ(plan.variables.size(), 2u);
    EXPECT_EQ(plan.variables[0].name, "container.filectl.filectl_list");
    EXPECT_EQ(plan.variables[0].value, "[\"/e\"]");
    EXPECT_EQ(plan.variables[0].type, 3u);
    EXPECT_EQ(plan.variables[1].name, "container.filectl.filectl_unlink_list");
    EXPECT_EQ(plan.variables[1].value, "[\"/a b\", \"/c\\\"d\"]");

    // But anything else that changed in it has the section compiled.
    Policy ruled = p;
    findModule(ruled, "filectl").value()->rules.pop_back();
    plan = planDeployment(old, textOf(ruled), kFilectlDynamic, false);
    EXPECT_EQ(plan.sections, (std::vector<size_t>{2, 3}));
    EXPECT_TRUE(plan.variables.empty());
    Policy nul = shippedDocument();
    findVariable(nul, "container.filectl.filectl_list").value()->name = std::string("filectl\0list", 12);
    Policy nulChanged = nul;
    findModule(nulChanged, "filectl").value()->variables[0].value = VariableTypes::strings(VariableKind::Path, {"/x"});
    plan = planDeployment(textOf(nul), textOf(nulChanged), kFilectlDynamic, false);
    EXPECT_EQ(plan.sections, (std::vector<size_t>{2}));  // a name with a NUL cannot cross the C interface
}

TEST(KernelStatus, OnlyAWholeNonZeroIntegerMeansAPolicyIsRunning) {
    TempDir dir;
    const std::string path = dir.file("status");
    const std::vector<std::pair<std::string, bool>> cases = {
        {"0", false},
        {"0\n", false},
        {"1", true},
        {" 12 \n", true},
        {"-3\n", true},
        {"+0", false},
        {"", false},
        {"\n", false},
        {"1x", false},
        {"one", false},
        {"1 2", false},
        {"0x10", false},
        {std::string(200, '0') + "7", true},
        {std::string(5000, '1'), false},
    };
    for (const auto &[content, running] : cases) {
        writeFile(path, content);
        EXPECT_EQ(kernelRunsPolicy(path), running) << '"' << content << '"';
    }
    EXPECT_FALSE(kernelRunsPolicy(dir.file("missing")));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(kernelRunsPolicy(dir.file("fifo")));  // refused at once, not waited on
}

TEST(RunDeployment, CallsAndLinesInOrder) {
    TempDir dir;
    const std::string status = dir.file("status");
    Policy p = shippedDocument();
    const PolicyText old = textOf(p);
    listOf(p, "container.netctl.netctl_list").push_back("/bin/nc");
    listOf(p, "container.filectl.filectl_list").push_back("/e");
    const PolicyText now = textOf(p);
    InterpreterFake fake;

    CaptureOutput out;
    ASSERT_TRUE(runDeployment(planDeployment(old, now, kFilectlDynamic, false), now, fake.table(), status).ok());
    writeFile(status, "0\n");
    ASSERT_TRUE(runDeployment(planDeployment(old, now, kNoneDynamic, true), now, fake.table(), status).ok());
    writeFile(status, "2\n");
    ASSERT_TRUE(runDeployment(planDeployment(old, now, kNoneDynamic, true), now, fake.table(), status).ok());
    EXPECT_EQ(out.out(), "change section: container.netctl\nchange dyn_var: container.filectl.filectl_list\n");
    EXPECT_EQ(fake.calls(), (std::vector<std::string>{
                                "compileSectionPolicy container.netctl " + std::string(now.sectionText(3)),
                                "sendPolicy",
                                "modifyDynamicVariable container.filectl.filectl_list [\"/e\"] 3",
                                "compileInitPolicy",
                                "deployPolicy",
                            }));
}

TEST(RunDeployment, EachFailingCallStopsWithItsLineAndCode) {
    TempDir dir;
    Policy p = shippedDocument();
    const PolicyText old = textOf(p);
    listOf(p, "container.netctl.netctl_list").push_back("/bin/nc");
    listOf(p, "container.filectl.filectl_list").push_back("/e");
    const PolicyText now = textOf(p);
    const DeploymentPlan changes = planDeployment(old, now, {false, false, true, false}, false);
    const DeploymentPlan full = planDeployment(old, now, kNoneDynamic, true);
    struct Case {
        const char *failing;
        const char *status;
        const DeploymentPlan &plan;
        std::string line;
        int32_t code;
        size_t calls;
    };
    const std::vector<Case> cases = {
        {"compileInitPolicy", "0", full, "init policy compile policy failed ret:-7", -13, 1},
        {"deployPolicy", "1", full, "deploy policy ret:-7", -10, 1},
        {"compileSectionPolicy", "0", changes, "failed to compile section policy: container.netctl, ret=-7", -17, 1},
        {"sendPolicy", "0", changes, "failed to send compiled section policy, ret=-7", -15, 2},
        {"modifyDynamicVariable", "0", changes,
         "failed to modify dynamic variable container.filectl.filectl_list, ret=-7", -16, 3},
    };
    for (const auto &c : cases) {
        InterpreterFake fake;
        fake.failWith(c.failing, -7);
        writeFile(dir.file("status"), c.status);
        CaptureOutput out;
        Status done = runDeployment(c.plan, now, fake.table(), dir.file("status"));
        ASSERT_FALSE(done.ok()) << c.failing;
        EXPECT_EQ(done.error().chain(), c.line);
        EXPECT_EQ(done.error().code(), c.code);
        EXPECT_EQ(fake.calls().size(), c.calls) << c.failing;
    }
}
