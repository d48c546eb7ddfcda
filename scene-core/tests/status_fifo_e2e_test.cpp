// With the kernel status file as a FIFO, every status change must arrive as
// one write of exactly one 69-byte record.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

const std::string kKernel = "/sys/kernel/security/vrex/policy_docker/dockerstatus";

std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v ? v : "";
}

// Opens the FIFO for reading (waiting for a writer) and returns the size of
// each read until the writer closes it.
std::vector<std::pair<size_t, std::string>> readOneSession() {
    std::vector<std::pair<size_t, std::string>> reads;
    int fd = open(kKernel.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return reads;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        reads.emplace_back(static_cast<size_t>(n), std::string(buf, static_cast<size_t>(n)));
    close(fd);
    return reads;
}

}  // namespace

TEST(SceneFifoE2E, EachChangeIsOneWriteOfOneRecord) {
    VREX_REQUIRE_SANDBOX();
    fs::copy_file(env("VREX_TEST_DRIVER"), "/usr/sbin/zorva-daemon", fs::copy_options::overwrite_existing);
    fs::permissions("/usr/sbin/zorva-daemon", fs::perms(0755));
    fs::create_directories("/etc/zorva-scene/scene");
    vrex::testing::writeFile("/etc/zorva-scene/scene/zorva_container.json",
                             vrex::testing::readFile(VREX_DEFAULT_SCENE_DOCUMENT));
    fs::create_directories("/etc/vrex/container");
    std::string libraries = env("VREX_TEST_LIBRARY_PATH");
    if (!env("VREX_TEST_STORE_DIR").empty())
        libraries.append(":").append(env("VREX_TEST_STORE_DIR"));
    const std::vector<std::string> env_ = {"LD_LIBRARY_PATH=" + libraries};

    const std::string id = "fifo-container";
    const std::vector<std::vector<std::string>> calls = {
        {"/usr/sbin/zorva-daemon", "set", id, "2"},
        {"/usr/sbin/zorva-daemon", "set-module", id, "0", "3"},
        {"/usr/sbin/zorva-daemon", "set", id, "0"},
    };
    const std::vector<std::array<int, 4>> expected = {{2, 1, 1, 1}, {2, 3, 1, 1}, {0, 3, 1, 1}};
    for (size_t i = 0; i < calls.size(); ++i) {
        auto reader = std::async(std::launch::async, readOneSession);
        auto r = vrex::testing::runProcess(calls[i], "", env_);
        if (!env("VREX_TEST_STORE_DIR").empty()) {
            EXPECT_TRUE(r.out.ends_with("result: 0\n")) << r.out;
        }
        auto reads = reader.get();
        ASSERT_EQ(reads.size(), 1u) << "call " << i;
        EXPECT_EQ(reads[0].first, 69u);
        std::string want = id;
        want.resize(65, '\0');
        for (int v : expected[i])
            want += static_cast<char>(v);
        EXPECT_EQ(reads[0].second, want) << "call " << i;
    }
}
