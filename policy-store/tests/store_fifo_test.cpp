// The kernel status file as a FIFO (as the kernel sees writes): a sync of
// three records arrives as one write of 207 bytes.
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "fifo_reader.h"
#include "record_fixtures.h"
#include "system_paths.h"
#include "test_util.h"
#include "vault_store.h"

using namespace vrex::testing;

TEST(KernelFifo, SyncIsOneWriteOfAllRecords) {
    VREX_REQUIRE_SANDBOX();
    std::filesystem::create_directories(kStoreDirectory);
    std::vector<_ContainerPolicy> recs = {makePolicy(makeId(1), 2, 1, 0, 1), makePolicy(makeId(2), 4, 0, 1, 0),
                                          makePolicy(makeId(3), 0, 1, 1, 1)};
    CaptureOutput cap;
    ASSERT_EQ(vault_store_save(recs.data(), 3), 0);

    // Each read returns what one write put in (at most 4096 bytes are atomic).
    auto reader = std::async(std::launch::async, readFifoSession, kKernelStatusPath);
    ASSERT_EQ(vault_store_sync_to_kernel(), 0);
    std::vector<std::string> reads = reader.get();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].size(), 207u);
    EXPECT_EQ(reads[0], bytesOf(recs));
    EXPECT_EQ(cap.err(), "");
}
