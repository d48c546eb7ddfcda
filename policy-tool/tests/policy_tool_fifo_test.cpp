// container-policy-tool end to end with the kernel status file stood in by a
// FIFO, so that each write the tool makes is seen on its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fifo_reader.h"
#include "test_util.h"
#include "tool_e2e_util.h"

namespace {

using namespace tool_e2e;
using vrex::testing::FifoReader;

const std::string kIdA = std::string(64, 'a');
const std::string kIdB = std::string(64, 'B');
const std::string kIdC = std::string(64, '7');

class ToolFifo : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        resetState();
        makeStoreDir();
    }
};

TEST_F(ToolFifo, OnePolicyIsExactlyOneWriteOf69Bytes) {
    FifoReader reader(kKernel);
    ASSERT_TRUE(reader.ok());
    auto r = runTool({"write", "-p", kIdA + ":4:1:0:1"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(reader.chunks(), std::vector<std::string>{recordBytes(kIdA, 4, 1, 0, 1)});
}

TEST_F(ToolFifo, SeveralPoliciesAreOneRecordEachInOrderWithTheirLines) {
    FifoReader reader(kKernel);
    ASSERT_TRUE(reader.ok());
    auto r = runTool({"write", "-n", "-p", kIdA + ":4:1:0:1;" + kIdB + ":2:0:1:0;" + kIdC + ":0:0:0:0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string all;
    for (const auto &chunk : reader.chunks()) {
        // A read may hold two records if the reader fell behind, never a part of one.
        EXPECT_EQ(chunk.size() % 69, 0u);
        all += chunk;
    }
    EXPECT_EQ(all, recordBytes(kIdA, 4, 1, 0, 1) + recordBytes(kIdB, 2, 0, 1, 0) + recordBytes(kIdC, 0, 0, 0, 0));
    const std::string ok = "Successfully wrote policy to kernel\n";
    EXPECT_EQ(r.out, "Policy: ID=" + kIdA + ", Global=4, Exec=1, Net=0, File=1\n" + ok + "Policy: ID=" + kIdB +
                         ", Global=2, Exec=0, Net=1, File=0\n" + ok + "Policy: ID=" + kIdC +
                         ", Global=0, Exec=0, Net=0, File=0\n" + ok + "XML persistence disabled (--no-xml)\n");
}

TEST_F(ToolFifo, SyncSendsTheWholeStoreInOneWrite) {
    const std::string spec = kIdA + ":4:1:0:1;" + kIdB + ":2:0:1:0;" + kIdC + ":0:0:0:0";
    {
        FifoReader reader(kKernel);
        ASSERT_TRUE(reader.ok());
        ASSERT_EQ(runTool({"write", "-p", spec}).exitCode, 0);
        reader.chunks();
    }
    FifoReader reader(kKernel);
    ASSERT_TRUE(reader.ok());
    auto r = runTool({"sync"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(reader.chunks(), std::vector<std::string>{recordBytes(kIdA, 4, 1, 0, 1) + recordBytes(kIdB, 2, 0, 1, 0) +
                                                        recordBytes(kIdC, 0, 0, 0, 0)});
}

}  // namespace
