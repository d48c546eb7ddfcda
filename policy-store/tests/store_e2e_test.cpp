// End-to-end tests of the built libvault_store.so through its C interface,
// inside the test sandbox, at the fixed paths: path binding, writers in
// several processes, writers killed mid-save, and a full disk.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "full_disk.h"
#include "record_fixtures.h"
#include "system_paths.h"
#include "test_util.h"
#include "vault_store.h"

using namespace vrex::testing;

namespace {

const std::string &kDir = kStoreDirectory;
const std::string &kStore = kStorePath;
const std::string &kKernel = kKernelStatusPath;

// Starts the writer helper with stdin from inFd (or /dev/null), stdout to
// outFd (or /dev/null) and stderr to errPath.
pid_t startWriter(const std::vector<std::string> &args, int inFd, int outFd, const std::string &errPath) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int null_fd = open("/dev/null", O_RDWR);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(inFd >= 0 ? inFd : null_fd, 0);
    dup2(outFd >= 0 ? outFd : null_fd, 1);
    dup2(err, 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(VAULT_STORE_WRITER));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(VAULT_STORE_WRITER, argv.data());
    _exit(127);
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<_ContainerPolicy> loadStore() {
    _ContainerPolicy *recs = nullptr;
    int count = 0;
    CaptureOutput quiet;
    EXPECT_EQ(vault_store_load(&recs, &count), 0) << quiet.err();
    std::vector<_ContainerPolicy> out(recs, recs + (recs ? count : 0));
    free(recs);
    return out;
}

std::vector<std::string> strayFiles() {
    std::vector<std::string> names;
    for (const auto &n : directoryEntries(kDir))
        if (n != "container.xml" && n != "container.xml.lock" && n != "filler")
            names.push_back(n);
    return names;
}

class FixedPaths : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        std::filesystem::remove_all(kDir);
        std::filesystem::create_directories(kDir);
        scratch = std::getenv("VREX_SANDBOX_SCRATCH");
    }
    std::string scratch;
};

}  // namespace

TEST_F(FixedPaths, EveryOperationUsesTheStoreAndKernelPaths) {
    EXPECT_STREQ(vault_store_get_default_path(), kStore.c_str());
    std::filesystem::remove_all(kDir);
    {
        CaptureOutput cap;
        EXPECT_EQ(vault_store_init(), -1);
        EXPECT_EQ(cap.err(), "Directory does not exist: /etc/vrex/container\n");
    }
    std::filesystem::create_directories(kDir);
    EXPECT_EQ(vault_store_init(), 0);
    EXPECT_FALSE(vault_store_exists());

    std::vector<_ContainerPolicy> recs = {makePolicy(makeId(1), 2, 1, 0, 1), makePolicy(makeId(2), 4, 0, 1, 0),
                                          makePolicy(makeId(3), 0, 1, 1, 1)};
    {
        CaptureOutput cap;
        for (const auto &r : recs)
            ASSERT_EQ(vault_store_add_policy(&r), 0);
        EXPECT_EQ(cap.err(), "");
    }
    EXPECT_TRUE(vault_store_exists());
    EXPECT_EQ(readFile(kStore), storeText(recs));
    struct stat st;
    ASSERT_EQ(stat(kStore.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(fileExists(kStore + ".lock"));

    _ContainerPolicy found;
    CaptureOutput cap;
    ASSERT_EQ(vault_store_find_policy(makeId(2).c_str(), &found), 0);
    EXPECT_EQ(bytesOf(&found, 1), bytesOf({recs[1]}));
    ContainerPolicyArray arr;
    ASSERT_EQ(vault_store_load_to_array(&arr), 0);
    EXPECT_EQ(bytesOf(arr.policies, arr.count), bytesOf(recs));
    vault_store_array_free(&arr);
    EXPECT_EQ(arr.policies, nullptr);

    writeFile(kKernel, "");
    ASSERT_EQ(vault_store_sync_to_kernel(), 0);
    EXPECT_EQ(readFile(kKernel), bytesOf(recs));

    ASSERT_EQ(vault_store_remove_policy(makeId(1).c_str()), 0);
    EXPECT_EQ(readFile(kStore), storeText({recs[1], recs[2]}));
    ASSERT_EQ(vault_store_clear_all(), 0);
    EXPECT_TRUE(loadStore().empty());
    vault_store_cleanup();
    EXPECT_EQ(cap.out(), "Successfully loaded 3 policies from /etc/vrex/container/container.xml\n"
                         "Successfully loaded 3 policies from /etc/vrex/container/container.xml\n"
                         "Successfully loaded 3 policies from /etc/vrex/container/container.xml\n"
                         "Successfully synced 3 policies to kernel\n"
                         "Successfully loaded 3 policies from /etc/vrex/container/container.xml\n"
                         "Successfully saved 2 policies to /etc/vrex/container/container.xml\n"
                         "Successfully removed policy for container " +
                             makeId(1) +
                             "\n"
                             "Successfully cleared all policies in /etc/vrex/container/container.xml\n");
}

TEST_F(FixedPaths, WritersInEightProcessesLoseNoUpdate) {
    constexpr int kWriters = 8, kEach = 250;
    int start[2];
    ASSERT_EQ(pipe2(start, O_CLOEXEC), 0);
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w)
        pids.push_back(startWriter({"add", std::to_string(1 + w * kEach), std::to_string(kEach)}, start[0], -1,
                                   scratch + "/writer" + std::to_string(w) + ".err"));
    close(start[0]);
    close(start[1]);  // every writer starts now
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(waitExit(pids[w]), 0) << readFile(scratch + "/writer" + std::to_string(w) + ".err");

    auto recs = loadStore();
    ASSERT_EQ(recs.size(), 2000u);
    std::set<std::string> ids;
    for (const auto &r : recs)
        ids.insert(r.container_id);
    EXPECT_EQ(ids.size(), 2000u);
    EXPECT_EQ(*ids.begin(), makeId(1));
    EXPECT_EQ(*ids.rbegin(), makeId(2000));
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(FixedPaths, AWriterKilledAtAnyMomentLeavesOldOrNewContent) {
    std::vector<_ContainerPolicy> before;
    for (unsigned i = 0; i < 50; ++i)
        before.push_back(makePolicy(makeId(0x100 + i), 2, 1, 1, 1));
    {
        CaptureOutput quiet;
        ASSERT_EQ(vault_store_save(before.data(), 50), 0);
    }
    std::vector<_ContainerPolicy> after = before;
    // The writer's record for identifier 0x999 (see vault_store_writer.c).
    after.push_back(makePolicy(makeId(0x999), 2, 1, 1, 1));
    const std::string oldText = storeText(before), newText = storeText(after);

    std::random_device rd;
    unsigned seed = rd();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> delayUs(0, 3000);
    int sawNew = 0;
    for (int round = 0; round < 200; ++round) {
        int ready[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        pid_t pid = startWriter({"churn", "0x999"}, -1, ready[1], scratch + "/churn.err");
        close(ready[1]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1) << readFile(scratch + "/churn.err");
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(gen)));
        kill(pid, SIGKILL);
        ASSERT_EQ(waitExit(pid), 128 + SIGKILL) << readFile(scratch + "/churn.err");

        std::string text = readFile(kStore);
        ASSERT_TRUE(text == oldText || text == newText) << "round " << round << ":\n" << text;
        sawNew += text == newText;
        ASSERT_EQ(loadStore().size(), text == newText ? 51u : 50u);
    }
    // A killed writer can leave its temporary file behind; the next save
    // removes it, so at most the last one is left.
    EXPECT_LE(strayFiles().size(), 1u);
    std::cout << "content after a kill: new " << sawNew << " times, old " << 200 - sawNew << " times\n";
}

TEST_F(FixedPaths, AFullDiskFailsTheSaveAndKeepsTheOldFile) {
    SmallTmpfs full(kDir, "16k");
    ASSERT_TRUE(full.ok()) << full.error();

    std::vector<_ContainerPolicy> old = {makePolicy(makeId(1), 2, 1, 1, 1), makePolicy(makeId(2), 4, 0, 0, 0)};
    {
        CaptureOutput quiet;
        ASSERT_EQ(vault_store_save(old.data(), 2), 0);
    }
    const std::string oldText = readFile(kStore);

    std::vector<_ContainerPolicy> big;
    for (unsigned i = 0; i < 500; ++i)
        big.push_back(makePolicy(makeId(0x1000 + i), 2, 1, 1, 1));
    {
        CaptureOutput cap;
        EXPECT_EQ(vault_store_save(big.data(), 500), -1);
        EXPECT_EQ(cap.err(), "write: No space left on device\n");
        EXPECT_EQ(cap.out(), "");
    }
    EXPECT_EQ(readFile(kStore), oldText);
    EXPECT_TRUE(strayFiles().empty());

    // Fill what is left, then a one-record add has no room either.
    fillFileSystem(kDir + "/filler");
    ASSERT_TRUE(fileExists(kDir + "/filler"));
    _ContainerPolicy extra = makePolicy(makeId(3), 2, 2, 2, 2);
    {
        CaptureOutput cap;
        EXPECT_EQ(vault_store_add_policy(&extra), -1);
        EXPECT_EQ(vault_store_clear_all(), -1);
        EXPECT_EQ(cap.err(), "write: No space left on device\nwrite: No space left on device\n");
    }
    EXPECT_EQ(readFile(kStore), oldText);
    EXPECT_TRUE(strayFiles().empty());
    EXPECT_EQ(bytesOf(loadStore()), bytesOf(old));
}
