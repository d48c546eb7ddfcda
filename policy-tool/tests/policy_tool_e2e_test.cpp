// container-policy-tool end to end: the built program at the real paths in
// the test sandbox, the kernel status file stood in by a regular file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"
#include "tool_e2e_util.h"

namespace {

using namespace tool_e2e;
using vrex::testing::readFile;
using vrex::testing::writeFile;

const std::string kIdA = std::string(64, 'a');
const std::string kIdB = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789ABCDEF";
const std::string kIdC = std::string(64, 'c');
const std::string &kHead = vrex::testing::kStoreHead;
const std::string &kTail = vrex::testing::kStoreTail;

class ToolE2E : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        resetState();
    }
    void TearDown() override {
        if (!vrex::testing::fileExists(kKernel)) {
            writeFile(kKernel, "");
            ::chmod(kKernel.c_str(), 0600);
        }
    }

    // A store holding kIdC and a kernel file with known bytes: what every
    // refused command must leave exactly as it was.
    void seed() {
        makeStoreDir();
        writeFile(kStore, kHead + storeLine(kIdC, 2, 1, 1, 1) + kTail);
        writeFile(kKernel, "kernel table");
    }
    void expectUntouched() {
        EXPECT_EQ(readFile(kStore), kHead + storeLine(kIdC, 2, 1, 1, 1) + kTail);
        EXPECT_EQ(readFile(kKernel), "kernel table");
    }
};

TEST_F(ToolE2E, CommandWordSelectsUsageOrErrorWithItsExitStatus) {
    auto none = runTool({});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, usage(tool()));
    EXPECT_EQ(none.err, "");

    auto help = runTool({"help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out, usage(tool()));

    for (const char *word : {"frob", "Write", "WRITE", ""}) {
        auto r = runTool({word});
        EXPECT_EQ(r.exitCode, 1) << word;
        EXPECT_EQ(r.err, std::string("Unknown command: ") + word + "\n");
        EXPECT_EQ(r.out, usage(tool()));
    }
}

TEST_F(ToolE2E, OptionsGivenToCommandsWithoutOptionsTouchNothing) {
    for (const char *cmd : {"read", "clear", "sync", "help"}) {
        for (const char *extra : {"-p", "--json", "x", "-n"}) {
            seed();
            auto r = runTool({cmd, extra});
            EXPECT_EQ(r.exitCode, 1) << cmd << " " << extra;
            EXPECT_EQ(r.err, "Unknown option\n");
            EXPECT_EQ(r.out, usage(tool()));
            expectUntouched();
        }
    }
    seed();
    auto list = runTool({"list", "--json", "x"});
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.err, "Unknown option\n");
}

TEST_F(ToolE2E, WriteOfOnePolicySendsOneRecordAndPersistsIt) {
    makeStoreDir();
    auto r = runTool({"write", "-p", kIdA + ":4:1:0:1"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(kKernel), recordBytes(kIdA, 4, 1, 0, 1));
    EXPECT_EQ(r.out.rfind("Policy: ID=" + kIdA +
                              ", Global=4, Exec=1, Net=0, File=1\n"
                              "Successfully wrote policy to kernel\n",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("Successfully added/updated policy for container " + kIdA + "\n"), std::string::npos);
    EXPECT_EQ(readFile(kStore), kHead + storeLine(kIdA, 4, 1, 0, 1) + kTail);
}

TEST_F(ToolE2E, WriteForAnotherContainerKeepsTheOthersAndUpdatesInPlace) {
    makeStoreDir();
    ASSERT_EQ(runTool({"write", "-p", kIdA + ":4:1:0:1"}).exitCode, 0);
    ASSERT_EQ(runTool({"write", "--policy", kIdB + ":0:0:0:0"}).exitCode, 0);
    EXPECT_EQ(readFile(kStore), kHead + storeLine(kIdA, 4, 1, 0, 1) + storeLine(kIdB, 0, 0, 0, 0) + kTail);
    ASSERT_EQ(runTool({"write", "-p", kIdA + ":2:0:1:0"}).exitCode, 0);
    EXPECT_EQ(readFile(kStore), kHead + storeLine(kIdA, 2, 0, 1, 0) + storeLine(kIdB, 0, 0, 0, 0) + kTail);
}

TEST_F(ToolE2E, WriteOfSeveralPoliciesWritesAndPersistsEach) {
    makeStoreDir();
    auto r = runTool({"write", "-p", kIdA + ":4:1:0:1;" + kIdB + ":2:0:1:0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // A regular file opened afresh for each record keeps the last one.
    EXPECT_EQ(readFile(kKernel), recordBytes(kIdB, 2, 0, 1, 0));
    EXPECT_EQ(readFile(kStore), kHead + storeLine(kIdA, 4, 1, 0, 1) + storeLine(kIdB, 2, 0, 1, 0) + kTail);
}

TEST_F(ToolE2E, WriteWithoutPersistenceLeavesTheStoreAlone) {
    makeStoreDir();
    for (const char *flag : {"-n", "--no-xml"}) {
        auto r = runTool({"write", flag, "-p", kIdA + ":4:1:0:1"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "Policy: ID=" + kIdA +
                             ", Global=4, Exec=1, Net=0, File=1\n"
                             "Successfully wrote policy to kernel\n"
                             "XML persistence disabled (--no-xml)\n");
        EXPECT_EQ(readFile(kKernel), recordBytes(kIdA, 4, 1, 0, 1));
        EXPECT_FALSE(vrex::testing::fileExists(kStore));
    }
}

TEST_F(ToolE2E, StoreFailureAfterAKernelWriteIsAWarningOnly) {
    auto r = runTool({"write", "-p", kIdA + ":4:1:0:1"});  // no store directory
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(kKernel), recordBytes(kIdA, 4, 1, 0, 1));
    EXPECT_EQ(r.err, "Directory does not exist: /etc/vrex/container\n"
                     "Failed to initialize XML library\n"
                     "Warning: Failed to persist policy to XML\n");
    EXPECT_FALSE(std::filesystem::exists(kStoreDir));
}

TEST_F(ToolE2E, WriteHelpAndMissingPolicyOption) {
    for (const char *h : {"-h", "--help"}) {
        auto r = runTool({"write", h});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, usage(tool()));
    }
    auto r = runTool({"write", "-n"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: -p, --policy option is required for write command\n");
    EXPECT_EQ(r.out, usage(tool()));
}

TEST_F(ToolE2E, BadSpecsReachNeitherKernelNorStore) {
    const std::string fmt = "Invalid policy format. Expected: id:global:exec:net:file\n";
    const std::string len = "Container ID must be 64 characters\n";
    std::string longSpec;
    while (longSpec.size() + 75 < 131071)
        longSpec += kIdA + ":4:1:0:1;";
    longSpec.append(131071 - longSpec.size(), 'f');
    ASSERT_EQ(longSpec.size(), 131071u);
    const std::string nonHex = std::string(63, 'a') + "z";
    struct Case {
        std::string spec, message;
    } cases[] = {
        {std::string(63, 'a') + ":4:1:0:1", len},
        {std::string(65, 'a') + ":4:1:0:1", len},
        {nonHex + ":4:1:0:1", "Container ID must be hexadecimal: " + nonHex + "\n"},
        {kIdA + ":256:1:0:1", "Invalid switch value: 256\n"},
        {kIdA + ":4:-1:0:1", "Invalid switch value: -1\n"},
        {kIdA + ":4:1:abc:1", "Invalid switch value: abc\n"},
        {kIdA + ":4:1:0:4x", "Invalid switch value: 4x\n"},
        {kIdA + "::1:0:1", "Invalid switch value: \n"},
        {kIdA + ":4:1:0", fmt},
        {kIdA + ":4:1:0:1;", fmt},
        {kIdA + ":4:1:0:1;" + kIdB + ":9:1", fmt},
        {"::::", len},
        {"", fmt},
        {longSpec, len},
    };
    for (const auto &c : cases) {
        seed();
        auto r = runTool({"write", "-p", c.spec});
        EXPECT_EQ(r.exitCode, 1) << c.spec.substr(0, 100);
        EXPECT_EQ(r.err, c.message + "Failed to parse policy\n") << c.spec.substr(0, 100);
        EXPECT_EQ(r.out, "");
        expectUntouched();
    }
    const std::vector<std::vector<std::string>> badOptions = {
        {"write", "-x", "-p", kIdA + ":4:1:0:1"},
        {"write", "--frob", "-p", kIdA + ":4:1:0:1"},
        {"write", "-p"},
        {"write", "-p", kIdA + ":4:1:0:1", kIdB + ":0:0:0:0"},
    };
    for (const auto &args : badOptions) {
        seed();
        auto r = runTool(args);
        EXPECT_EQ(r.exitCode, 1) << args[1];
        EXPECT_EQ(r.err, "Unknown option\n");
        EXPECT_EQ(r.out, usage(tool()));
        expectUntouched();
    }
}

TEST_F(ToolE2E, ASecondPolicyOptionIsRefusedNotTakenInsteadOfTheFirst) {
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"write", "-p", kIdA + ":4:1:0:1", "-p", kIdB + ":0:0:0:0"},
             {"write", "--policy", kIdA + ":4:1:0:1", "-n", "-p", kIdA + ":0:0:0:0"},
             {"write", "-p", kIdA + ":4:1:0:1", "--policy=" + kIdB + ":0:0:0:0"},
         }) {
        seed();
        auto r = runTool(args);
        EXPECT_EQ(r.exitCode, 1) << args[3];
        EXPECT_EQ(r.err, "option -p given more than once\n");
        EXPECT_EQ(r.out, usage(tool()));
        expectUntouched();
    }
}

TEST_F(ToolE2E, MissingKernelFileFailsEveryKernelCommandWith255) {
    seed();
    ASSERT_EQ(::unlink(kKernel.c_str()), 0);
    for (const char *cmd : {"read", "clear"}) {
        auto r = runTool({cmd});
        EXPECT_EQ(r.exitCode, 255) << cmd;
        EXPECT_EQ(r.err, "open: No such file or directory\n") << cmd;
    }
    auto w = runTool({"write", "-p", kIdA + ":4:1:0:1"});
    EXPECT_EQ(w.exitCode, 255);
    EXPECT_EQ(w.err, "open: No such file or directory\n");
    auto s = runTool({"sync"});
    EXPECT_EQ(s.exitCode, 255);
    EXPECT_NE(s.err.find("Failed to sync XML policies to kernel\n"), std::string::npos) << s.err;
    // Nothing the kernel did not take is persisted, nor is the store cleared.
    EXPECT_EQ(readFile(kStore), kHead + storeLine(kIdC, 2, 1, 1, 1) + kTail);
}

TEST_F(ToolE2E, ReadPrintsAtMost4095BytesOfTheKernelTable) {
    writeFile(kKernel, std::string(5000, 'x'));
    auto r = runTool({"read"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Current policies:\n" + std::string(4095, 'x') + "\n");
    writeFile(kKernel, "");
    EXPECT_EQ(runTool({"read"}).out, "Current policies:\n\n");
}

TEST_F(ToolE2E, ClearEmptiesKernelAndStoreAndToleratesAMissingStore) {
    auto bare = runTool({"clear"});  // no store directory at all
    EXPECT_EQ(bare.exitCode, 0);
    EXPECT_EQ(bare.out, "All policies cleared from kernel\n");
    EXPECT_EQ(bare.err, "Directory does not exist: /etc/vrex/container\n");

    makeStoreDir();
    ASSERT_EQ(runTool({"write", "-p", kIdA + ":4:1:0:1"}).exitCode, 0);
    auto r = runTool({"clear"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "All policies cleared from kernel\n"
                     "Successfully cleared all policies in /etc/vrex/container/container.xml\n");
    EXPECT_EQ(readFile(kStore), kHead + kTail);
}

TEST_F(ToolE2E, SyncSendsTheStoreOrSaysThereIsNothing) {
    auto noDir = runTool({"sync"});
    EXPECT_EQ(noDir.exitCode, 255);
    EXPECT_EQ(noDir.err, "Directory does not exist: /etc/vrex/container\nFailed to initialize XML library\n");

    makeStoreDir();
    writeFile(kKernel, "untouched");
    auto noFile = runTool({"sync"});
    EXPECT_EQ(noFile.exitCode, 0);
    EXPECT_EQ(noFile.out, "XML file does not exist, nothing to sync\n");
    EXPECT_EQ(readFile(kKernel), "untouched");

    writeFile(kStore, kHead + storeLine(kIdA, 4, 1, 0, 1) + storeLine(kIdB, 0, 0, 0, 0) + kTail);
    writeFile(kKernel, "");
    auto r = runTool({"sync"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(kKernel), recordBytes(kIdA, 4, 1, 0, 1) + recordBytes(kIdB, 0, 0, 0, 0));
    EXPECT_NE(r.out.find("Successfully synced 2 policies to kernel\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 43), "Successfully synced XML policies to kernel\n");
}

TEST_F(ToolE2E, ListPrintsOnlyTheTableOrTheJson) {
    auto empty = runTool({"list", "--json"});  // no store at all
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "[]\n");
    EXPECT_EQ(empty.err, "");

    makeStoreDir();
    ASSERT_EQ(runTool({"write", "-p", kIdA + ":4:1:0:1;" + kIdB + ":2:0:1:0"}).exitCode, 0);
    auto json = runTool({"list", "--json"});
    EXPECT_EQ(json.exitCode, 0);
    auto doc = nlohmann::json::parse(json.out);  // throws if anything else is on stdout
    ASSERT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc[0], nlohmann::json({{"id", kIdA}, {"global", 4}, {"exec", 1}, {"net", 0}, {"file", 1}}));
    EXPECT_EQ(doc[1]["id"], kIdB);

    auto table = runTool({"list"});
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(table.out.find("Successfully"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find(kIdA + "  SOFTMODE      ENABLED       DISABLED      ENABLED\n"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find(kIdB + "  ON            DISABLED      ENABLED       DISABLED\n"), std::string::npos);
}

// A store that does not hold one policy per line: a valid store written on
// one line, then a line holding two policies. The tool reads one record (C)
// of it and must never save that over the rest.
const std::string kOneLineStore =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><container_policies><policy id=\"" + kIdA +
    "\" global=\"2\" exec=\"1\" net=\"1\" file=\"1\"/></container_policies>\n<policy id=\"" + kIdC +
    "\" global=\"4\" exec=\"1\" net=\"0\" file=\"1\"/><policy id=\"" + kIdB +
    "\" global=\"0\" exec=\"0\" net=\"0\" file=\"0\"/>\n";

TEST_F(ToolE2E, WriteKeepsTheKernelWriteButNeverRewritesAStoreItCannotFullyRead) {
    makeStoreDir();
    writeFile(kStore, kOneLineStore);
    auto r = runTool({"write", "-p", kIdB + ":2:1:1:1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(kKernel), recordBytes(kIdB, 2, 1, 1, 1));
    EXPECT_EQ(readFile(kStore), kOneLineStore);
    EXPECT_EQ(r.err, "Not saving " + kStore +
                         ": 2 policy elements in it could not be read; the file must hold one policy per line\n"
                         "Warning: Failed to persist policy to XML\n");
}

TEST_F(ToolE2E, SyncPushesWhatItCouldReadAndFailsForTheBootUnit) {
    makeStoreDir();
    writeFile(kStore, kOneLineStore);
    auto r = runTool({"sync"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(readFile(kKernel), recordBytes(kIdC, 4, 1, 0, 1));
    EXPECT_EQ(r.err, "2 policy elements in " + kStore +
                         " could not be read and will not be synced; the file must hold one policy per line\n"
                         "Failed to sync XML policies to kernel\n");
    EXPECT_EQ(readFile(kStore), kOneLineStore);

    auto list = runTool({"list", "--json"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(nlohmann::json::parse(list.out).size(), 1u);
    EXPECT_EQ(list.err, "Warning: 2 policy elements in " + kStore +
                            " could not be read; the file must hold one policy per line\n");

    // Clearing empties it on purpose.
    auto clear = runTool({"clear"});
    EXPECT_EQ(clear.exitCode, 0);
    EXPECT_EQ(readFile(kStore), kHead + kTail);
}

TEST_F(ToolE2E, SyncNamesWhatStandsAtTheStorePathInsteadOfAFile) {
    makeStoreDir();
    writeFile(kKernel, "kernel table");
    ASSERT_EQ(::mkdir(kStore.c_str(), 0700), 0);
    auto dir = runTool({"sync"});
    EXPECT_EQ(dir.exitCode, 255);
    EXPECT_EQ(dir.err, "XML file " + kStore +
                           " is a directory, not a regular file\n"
                           "Failed to sync XML policies to kernel\n");
    EXPECT_EQ(dir.out, "");
    ASSERT_EQ(::rmdir(kStore.c_str()), 0);
    ASSERT_EQ(::mkfifo(kStore.c_str(), 0600), 0);
    auto fifo = runTool({"sync"});
    EXPECT_EQ(fifo.exitCode, 255);
    EXPECT_EQ(fifo.err, "XML file " + kStore +
                            " is a FIFO, not a regular file\n"
                            "Failed to sync XML policies to kernel\n");
    EXPECT_EQ(readFile(kKernel), "kernel table");
}

TEST_F(ToolE2E, OutputThatCannotBeWrittenFailsListAndRead) {
    makeStoreDir();
    ASSERT_EQ(runTool({"write", "-p", kIdA + ":4:1:0:1"}).exitCode, 0);
    using vrex::testing::ChildOutput;
    struct Case {
        std::vector<std::string> args;
        ChildOutput output;
        std::string err;
    } cases[] = {
        {{"list"}, ChildOutput::DevFull, "Failed to write to standard output: No space left on device\n"},
        {{"list", "--json"}, ChildOutput::DevFull, "Failed to write to standard output: No space left on device\n"},
        {{"read"}, ChildOutput::DevFull, "Failed to write to standard output: No space left on device\n"},
        {{"list"}, ChildOutput::Closed, "Failed to write to standard output: Bad file descriptor\n"},
        {{"list", "--json"}, ChildOutput::Closed, "Failed to write to standard output: Bad file descriptor\n"},
        {{"read"}, ChildOutput::Closed, "Failed to write to standard output: Bad file descriptor\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv{tool()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = vrex::testing::runProcessWithOutput(argv, c.output);
        EXPECT_EQ(r.exitCode, 255) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
    }
}

TEST_F(ToolE2E, AClosedStandardOutputNeverLandsInAFileTheToolOpens) {
    makeStoreDir();
    auto r = vrex::testing::runProcessWithOutput({tool(), "write", "-p", kIdA + ":4:1:0:1"},
                                                 vrex::testing::ChildOutput::Closed);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(kKernel), recordBytes(kIdA, 4, 1, 0, 1));
    EXPECT_EQ(readFile(kStore), kHead + storeLine(kIdA, 4, 1, 0, 1) + kTail);
    // Nor in the lock files, opened while the messages are printed.
    EXPECT_EQ(readFile(kStore + ".lock"), "");
    EXPECT_EQ(readFile("/run/vrex/container-policy.lock"), "");
}

TEST_F(ToolE2E, InAPipeSuccessLinesKeepTheirPlaceBeforeTheFailuresThatFollow) {
    // No store directory: the kernel write succeeds, persisting fails.
    auto r = vrex::testing::runProcessWithOutput({tool(), "write", "-p", kIdA + ":4:1:0:1;" + kIdB + ":2:0:1:0"},
                                                 vrex::testing::ChildOutput::Merged);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Policy: ID=" + kIdA +
                         ", Global=4, Exec=1, Net=0, File=1\n"
                         "Successfully wrote policy to kernel\n"
                         "Policy: ID=" +
                         kIdB +
                         ", Global=2, Exec=0, Net=1, File=0\n"
                         "Successfully wrote policy to kernel\n"
                         "Directory does not exist: /etc/vrex/container\n"
                         "Failed to initialize XML library\n"
                         "Warning: Failed to persist policy to XML\n");
    auto clear = vrex::testing::runProcessWithOutput({tool(), "clear"}, vrex::testing::ChildOutput::Merged);
    EXPECT_EQ(clear.out, "All policies cleared from kernel\nDirectory does not exist: /etc/vrex/container\n");
}

}  // namespace
