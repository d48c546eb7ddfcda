// The kernel status file as a FIFO (as the kernel sees writes): a sync of
// three records arrives as one write of 207 bytes.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "store_test_util.h"
#include "test_util.h"
#include "vault_store.h"

using namespace vault_test;
using vrex::testing::CaptureOutput;

TEST(KernelFifo, SyncIsOneWriteOfAllRecords) {
    VREX_REQUIRE_SANDBOX();
    const std::string kernel = "/sys/kernel/security/vrex/policy_docker/dockerstatus";
    std::filesystem::create_directories("/etc/vrex/container");
    std::vector<_ContainerPolicy> recs = {makePolicy(makeId(1), 2, 1, 0, 1), makePolicy(makeId(2), 4, 0, 1, 0),
                                          makePolicy(makeId(3), 0, 1, 1, 1)};
    CaptureOutput cap;
    ASSERT_EQ(vault_store_save(recs.data(), 3), 0);

    // Each read returns what one write put in (at most 4096 bytes are atomic).
    auto reader = std::async(std::launch::async, [&] {
        std::vector<std::string> reads;
        int fd = open(kernel.c_str(), O_RDONLY);
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
            reads.emplace_back(buf, static_cast<size_t>(n));
        if (fd >= 0)
            close(fd);
        return reads;
    });
    ASSERT_EQ(vault_store_sync_to_kernel(), 0);
    std::vector<std::string> reads = reader.get();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].size(), 207u);
    EXPECT_EQ(reads[0], bytesOf(recs));
    EXPECT_EQ(cap.err(), "");
}
