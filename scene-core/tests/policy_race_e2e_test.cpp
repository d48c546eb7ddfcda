// The tool and the core library writing the same container's record at the
// same time, inside the test sandbox: each writes the kernel, then the store.
// Whoever writes last must have the last word in both, every time.
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "record_fixtures.h"
#include "scene_e2e_util.h"
#include "system_paths.h"
#include "test_util.h"

using namespace vrex::testing;

namespace {

const std::string kId = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";
constexpr int kPairs = 200;

}  // namespace

TEST(PolicyRace, ToolWriteAndCoreSetLeaveKernelAndStoreAgreeing) {
    VREX_REQUIRE_SANDBOX();
    scene_e2e::installDaemonAndDocument();
    writeFile(kKernelStatusPath, "");
    const std::vector<std::string> env = scene_e2e::libraryEnv();

    // The core library takes far longer to reach its kernel write than the
    // tool (process start, library loads, the document saved first), so the
    // tool starts after a delay drawn across the core's last run time: the
    // two writers' steps then interleave in every order over the rounds.
    std::random_device rd;
    const unsigned seed = rd();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 gen(seed);
    double lastCoreMs = 100;
    int toolLast = 0, coreLast = 0;
    for (int round = 0; round < kPairs; ++round) {
        // Values that differ between the two writers and from one round to
        // the next, so that no stale record can pass for a fresh one.
        const int toolGlobal = round % 2 == 0 ? 4 : 0, coreStatus = round % 2 == 0 ? 2 : 0;
        const std::string toolRecord = recordBytes(kId, toolGlobal, 0, 0, 0);
        const std::string coreRecord = recordBytes(kId, coreStatus, 1, 1, 1);
        const auto delay = std::chrono::microseconds(
            static_cast<long>(std::uniform_real_distribution<double>(0, lastCoreMs * 1000)(gen)));
        const auto start = std::chrono::steady_clock::now();
        auto core = std::async(std::launch::async, [&] {
            return runProcess({kDaemonPath, "set", kId, std::to_string(coreStatus)}, "", env);
        });
        auto tool = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(delay);
            return runProcess({VREX_TOOL_BINARY, "write", "-p", kId + ":" + std::to_string(toolGlobal) + ":0:0:0"});
        });
        ProcessResult c = core.get();
        lastCoreMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        ProcessResult t = tool.get();
        ASSERT_EQ(t.exitCode, 0) << t.err;
        ASSERT_TRUE(c.out.ends_with("vault_store_add_policy ret: 0\nresult: 0\n")) << c.out << c.err;

        const std::string kernel = readFile(kKernelStatusPath);
        ASSERT_TRUE(kernel == toolRecord || kernel == coreRecord) << "round " << round;
        const std::string store = readFile(kStorePath);
        ASSERT_EQ(store.find(kId), store.rfind(kId)) << "one record per container";
        const bool storeHasTool = store.find(storeLine(kId, toolGlobal, 0, 0, 0)) != std::string::npos;
        const bool storeHasCore = store.find(storeLine(kId, coreStatus, 1, 1, 1)) != std::string::npos;
        ASSERT_TRUE(storeHasTool != storeHasCore) << "round " << round << ":\n" << store;
        ASSERT_EQ(storeHasTool ? toolRecord : coreRecord, kernel)
            << "round " << round << ": the kernel and the store disagree";
        (kernel == toolRecord ? toolLast : coreLast) += 1;
    }
    std::cout << "last writer: the tool " << toolLast << " times, the core library " << coreLast << " times\n";
}
