// container-policy-tool end to end with the kernel status file stood in by a
// FIFO, so that each write the tool makes is seen on its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "tool_e2e_util.h"

namespace {

using namespace tool_e2e;

const std::string kIdA = std::string(64, 'a');
const std::string kIdB = std::string(64, 'B');
const std::string kIdC = std::string(64, '7');

// Reads the FIFO from a thread blocked in poll, so that every write lands in
// a read of its own. Holding the FIFO open for writing too keeps it from
// reporting end-of-file between the tool's opens.
class FifoReader {
public:
    FifoReader() {
        fd_ = ::open(kKernel.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0)
            thread_ = std::thread([this] { loop(); });
    }
    ~FifoReader() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Stops reading (after draining) and returns every read's bytes.
    std::vector<std::string> chunks() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return chunks_;
    }

private:
    void loop() {
        char buf[65536];
        while (true) {
            pollfd p{fd_, POLLIN, 0};
            int n = ::poll(&p, 1, 50);
            if (n > 0) {
                ssize_t got = ::read(fd_, buf, sizeof buf);
                if (got > 0)
                    chunks_.emplace_back(buf, static_cast<size_t>(got));
            } else if (stop_) {
                return;
            }
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::string> chunks_;
};

class ToolFifo : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        resetState();
        makeStoreDir();
    }
};

TEST_F(ToolFifo, OnePolicyIsExactlyOneWriteOf69Bytes) {
    FifoReader reader;
    ASSERT_TRUE(reader.ok());
    auto r = runTool({"write", "-p", kIdA + ":4:1:0:1"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(reader.chunks(), std::vector<std::string>{record(kIdA, 4, 1, 0, 1)});
}

TEST_F(ToolFifo, SeveralPoliciesAreOneRecordEachInOrderWithTheirLines) {
    FifoReader reader;
    ASSERT_TRUE(reader.ok());
    auto r = runTool({"write", "-n", "-p", kIdA + ":4:1:0:1;" + kIdB + ":2:0:1:0;" + kIdC + ":0:0:0:0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string all;
    for (const auto &chunk : reader.chunks()) {
        // A read may hold two records if the reader fell behind, never a part of one.
        EXPECT_EQ(chunk.size() % 69, 0u);
        all += chunk;
    }
    EXPECT_EQ(all, record(kIdA, 4, 1, 0, 1) + record(kIdB, 2, 0, 1, 0) + record(kIdC, 0, 0, 0, 0));
    const std::string ok = "Successfully wrote policy to kernel\n";
    EXPECT_EQ(r.out, "Policy: ID=" + kIdA + ", Global=4, Exec=1, Net=0, File=1\n" + ok + "Policy: ID=" + kIdB +
                         ", Global=2, Exec=0, Net=1, File=0\n" + ok + "Policy: ID=" + kIdC +
                         ", Global=0, Exec=0, Net=0, File=0\n" + ok + "XML persistence disabled (--no-xml)\n");
}

TEST_F(ToolFifo, SyncSendsTheWholeStoreInOneWrite) {
    const std::string spec = kIdA + ":4:1:0:1;" + kIdB + ":2:0:1:0;" + kIdC + ":0:0:0:0";
    {
        FifoReader reader;
        ASSERT_TRUE(reader.ok());
        ASSERT_EQ(runTool({"write", "-p", spec}).exitCode, 0);
        reader.chunks();
    }
    FifoReader reader;
    ASSERT_TRUE(reader.ok());
    auto r = runTool({"sync"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(reader.chunks(),
              std::vector<std::string>{record(kIdA, 4, 1, 0, 1) + record(kIdB, 2, 0, 1, 0) + record(kIdC, 0, 0, 0, 0)});
}

}  // namespace
