// The tool's commands driven in-process on files of the test's own, for what
// the end-to-end tests cannot arrange: a kernel that fails or takes part of a
// record in the middle of a multi-policy write, and a kernel that is full.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "policy_parser.h"
#include "policy_tool.h"
#include "store_core.h"
#include "sysutil/lock_file.h"
#include "test_util.h"

namespace {

using vrex::testing::CaptureOutput;
using vrex::testing::TempDir;

const std::string kIdA(64, 'a');
const std::string kIdB(64, 'b');
const std::string kIdC(64, 'c');

class ToolRun : public ::testing::Test {
protected:
    TempDir dir;
    std::string store = dir.file("container.xml");
    std::string kernel = dir.file("dockerstatus");
    std::string lock = dir.file("run/container-policy.lock");
    policy_tool::ToolPaths paths{store.c_str(), kernel.c_str(), lock.c_str()};

    void SetUp() override { vrex::testing::writeFile(kernel, ""); }

    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "container-policy-tool");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return policy_tool::run(static_cast<int>(args.size()), argv.data(), paths);
    }

    std::vector<std::string> storedIds() {
        _ContainerPolicy *p = nullptr;
        int n = 0;
        {
            CaptureOutput quiet;
            EXPECT_EQ(vault::load(store.c_str(), &p, &n), 0);
        }
        std::vector<std::string> ids;
        for (int i = 0; i < n; ++i)
            ids.emplace_back(p[i].container_id);
        std::free(p);
        return ids;
    }

    std::vector<_ContainerPolicy> parse(const std::string &spec) {
        auto r = policy_tool::parse_policy_arg(spec);
        EXPECT_TRUE(r.ok()) << r.error;
        return r.policies;
    }
};

// A kernel stand-in that takes the first `good` records and then answers
// each later write with `failure` (-1, or a byte count short of a record).
struct FlakyKernel {
    int good;
    ssize_t failure;
    std::vector<std::string> received;
    ssize_t operator()(const char *, const _ContainerPolicy &rec) {
        if (static_cast<int>(received.size()) >= good)
            return failure;
        received.emplace_back(rec.container_id);
        return sizeof rec;
    }
};

TEST_F(ToolRun, KernelFailureMidWayPersistsOnlyThePoliciesTheKernelTook) {
    for (ssize_t failure : {ssize_t{-1}, ssize_t{30}, ssize_t{0}}) {
        SCOPED_TRACE(failure);
        std::remove(store.c_str());
        FlakyKernel flaky{1, failure, {}};
        CaptureOutput cap;
        int rc = policy_tool::write_policies(parse(kIdA + ":4:1:0:1;" + kIdB + ":2:1:1:1;" + kIdC + ":0:0:0:0"), true,
                                             paths, std::ref(flaky));
        std::string out = cap.out(), err = cap.err();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(flaky.received, std::vector<std::string>{kIdA});
        EXPECT_EQ(storedIds(), std::vector<std::string>{kIdA});
        // Two policy lines, one success line: the third policy is never tried.
        EXPECT_NE(out.find("Policy: ID=" + kIdB), std::string::npos) << out;
        EXPECT_EQ(out.find("Policy: ID=" + kIdC), std::string::npos) << out;
        EXPECT_EQ(out.find("Successfully wrote policy to kernel"), out.rfind("Successfully wrote policy to kernel"));
        if (failure >= 0) {
            EXPECT_NE(err.find("write: the kernel took " + std::to_string(failure) + " of 69 bytes\n"),
                      std::string::npos)
                << err;
        }
    }
}

TEST_F(ToolRun, KernelRefusingTheFirstPolicyLeavesTheStoreAlone) {
    ASSERT_EQ(run({"write", "-p", kIdC + ":2:0:0:0"}), 0);  // a record to keep
    FlakyKernel flaky{0, -1, {}};
    CaptureOutput cap;
    EXPECT_EQ(policy_tool::write_policies(parse(kIdA + ":4:1:0:1"), true, paths, std::ref(flaky)), -1);
    cap.out();
    EXPECT_EQ(storedIds(), std::vector<std::string>{kIdC});
}

TEST_F(ToolRun, FullKernelFileIsAWriteFailure) {
    std::string full = "/dev/full";
    paths.kernel = full.c_str();
    CaptureOutput cap;
    EXPECT_EQ(run({"write", "-p", kIdA + ":4:1:0:1"}), -1);
    EXPECT_EQ(cap.err(), "write: No space left on device\n");
    EXPECT_FALSE(vrex::testing::fileExists(store));
}

TEST_F(ToolRun, RunCanBeCalledAgainAfterAnOptionError) {
    // getopt keeps state between calls; a stale index would skip "-p" here.
    {
        CaptureOutput cap;
        EXPECT_EQ(run({"write", "-x"}), 1);
        EXPECT_EQ(cap.err(), "Unknown option\n");
    }
    CaptureOutput cap;
    EXPECT_EQ(run({"write", "-n", "-p", kIdA + ":4:1:0:1"}), 0);
    EXPECT_EQ(vrex::testing::readFile(kernel).size(), 69u);
    EXPECT_NE(cap.out().find("XML persistence disabled (--no-xml)\n"), std::string::npos);
}

TEST_F(ToolRun, WriteClearAndSyncWaitForTheKernelTableLock) {
    ASSERT_EQ(run({"write", "-p", kIdC + ":2:0:0:0"}), 0);  // a store to sync
    const std::vector<std::vector<std::string>> commands = {
        {"write", "-p", kIdA + ":4:1:0:1"}, {"sync"}, {"write", "-n", "-p", kIdB + ":2:1:1:1"}, {"clear"}};
    for (const auto &command : commands) {
        SCOPED_TRACE(command[0]);
        vrex::testing::writeFile(kernel, "before");
        vrex::sys::UniqueFd held;
        ASSERT_TRUE(vrex::sys::lockPrivateFile(lock, held).ok());
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            held.reset();  // the parent's lock, shared by this copy of its descriptor
            std::freopen("/dev/null", "w", stdout);
            _exit(run(command) == 0 ? 0 : 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the command ran while another writer held the table";
        EXPECT_EQ(vrex::testing::readFile(kernel), "before");
        held.reset();
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST_F(ToolRun, APlantedLockFileStopsTheCommandBeforeTheKernel) {
    ASSERT_EQ(mkdir(dir.file("run").c_str(), 0700), 0);
    ASSERT_EQ(symlink(kernel.c_str(), lock.c_str()), 0);
    vrex::testing::writeFile(kernel, "before");
    for (const char *command : {"write", "clear", "sync"}) {
        CaptureOutput cap;
        std::vector<std::string> args = {command};
        if (args[0] == "write")
            args = {"write", "-p", kIdA + ":4:1:0:1"};
        EXPECT_EQ(run(args), -1) << command;
        EXPECT_EQ(cap.err(), "Failed to lock the kernel policy table: " + lock +
                                 " is not a regular file of this user closed to others (mode 0600)\n")
            << command;
    }
    EXPECT_EQ(vrex::testing::readFile(kernel), "before");
    EXPECT_FALSE(vrex::testing::fileExists(store));
}

}  // namespace
