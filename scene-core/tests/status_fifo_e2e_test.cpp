// With the kernel status file as a FIFO, every status change must arrive as
// one write of exactly one 69-byte record.
#include <array>
#include <future>

#include <gtest/gtest.h>

#include "fifo_reader.h"
#include "record_fixtures.h"
#include "scene_e2e_util.h"
#include "system_paths.h"
#include "test_util.h"

using namespace vrex::testing;

TEST(SceneFifoE2E, EachChangeIsOneWriteOfOneRecord) {
    VREX_REQUIRE_SANDBOX();
    ASSERT_FALSE(envOrEmpty("VREX_TEST_STORE_DIR").empty());
    scene_e2e::installDaemonAndDocument();
    const std::vector<std::string> env = scene_e2e::libraryEnv();

    const std::string id = "fifo-container";
    const std::vector<std::vector<std::string>> calls = {
        {kDaemonPath, "set", id, "2"},
        {kDaemonPath, "set-module", id, "0", "3"},
        {kDaemonPath, "set", id, "0"},
    };
    const std::vector<std::array<int, 4>> expected = {{2, 1, 1, 1}, {2, 3, 1, 1}, {0, 3, 1, 1}};
    for (size_t i = 0; i < calls.size(); ++i) {
        auto reader = std::async(std::launch::async, readFifoSession, kKernelStatusPath);
        auto r = runProcess(calls[i], "", env);
        EXPECT_TRUE(r.out.ends_with("result: 0\n")) << r.out;
        auto reads = reader.get();
        ASSERT_EQ(reads.size(), 1u) << "call " << i;
        EXPECT_EQ(reads[0].size(), 69u);
        const auto &[status, exectl, netctl, filectl] = expected[i];
        EXPECT_EQ(reads[0], recordBytes(id, status, exectl, netctl, filectl)) << "call " << i;
    }
}
