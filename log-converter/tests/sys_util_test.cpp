// The daemon's system helpers: owners that close, a write that finishes
// through signals and short writes or says why not, path pieces, and the
// atomic replacement whose temporary files are recognised exactly.
#include "files.h"
#include "sys_util.h"
#include "test_util.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

namespace vrex::testing {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// The pid of a process that has ended.
pid_t deadPid() {
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

std::vector<std::string> entriesOf(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SysUtil, OwnersCloseWhatTheyHoldOnceAndOnlyOnce) {
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        UniqueFd a(raw);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        a = std::move(b);  // moved back: still one owner
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw));

    int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    UniqueFd owner(other);
    owner.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(isOpen(other)) << "reset leaks the descriptor it held";
    int kept = owner.release();
    owner.reset();
    EXPECT_TRUE(isOpen(kept)) << "released descriptor closed";
    ::close(kept);

    int streamFd = -1;
    {
        UniqueFile stream(std::fopen("/dev/null", "re"));
        ASSERT_TRUE(stream);
        streamFd = fileno(stream.get());
        UniqueDir dir(::opendir("/"));
        ASSERT_TRUE(dir);
    }
    EXPECT_FALSE(isOpen(streamFd));
}

// Writes text to fds[1] through write, while signals cut the writes short;
// returns whether the write reported success and what arrived.
using WriteFunction = std::function<bool(int fd, const std::string &text)>;

class InterruptedWrite : public ::testing::TestWithParam<bool> {};

TEST_P(InterruptedWrite, FinishesThroughSignalsAndShortWrites) {
    // writeAll, or writeAllParts with the text in three parts of odd sizes,
    // so that short writes end inside and between parts.
    const WriteFunction write =
        GetParam() ? WriteFunction([](int fd, const std::string &text) {
            std::string_view all = text;
            return writeAllParts(fd, {all.substr(0, 70001), all.substr(70001, 333333), all.substr(403334)});
        })
                   : WriteFunction([](int fd, const std::string &text) { return writeAll(fd, text); });
    // A handler without SA_RESTART: a blocked write returns early, with
    // part of the bytes written or with EINTR.
    struct sigaction quiet {
    }, saved{};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &saved), 0);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::string text;
    for (int i = 0; text.size() < (1u << 20); ++i)
        text += std::to_string(i) + "\n";
    std::atomic<bool> done{false};
    bool ok = false;
    std::thread writer([&] {
        ok = write(fds[1], text);
        ::close(fds[1]);
        done = true;
    });
    std::string got;
    char buf[4096];
    for (;;) {
        // The first signal ends a write that made progress (a short
        // write); the second finds the next one blocked on the full pipe
        // with nothing written (EINTR).
        for (int i = 0; i < 2 && !done; ++i) {
            ::pthread_kill(writer.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    writer.join();
    ::close(fds[0]);
    ::sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(got == text) << got.size() << " of " << text.size() << " bytes arrived";
}

INSTANTIATE_TEST_SUITE_P(WholeAndInParts, InterruptedWrite, ::testing::Bool());

TEST(SysUtil, WriteAllReportsWhyItStopped) {
    UniqueFd full(::open(kFullDevice, O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(full);
    errno = 0;
    EXPECT_FALSE(writeAll(full.get(), "x"));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(errorText(ENOSPC), "No space left on device");

    // Cut short, then refused: the bytes that fit are written, and the
    // failure is still reported.
    TempDir dir;
    UniqueFd file(::open(dir.file("f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(file);
    {
        FileSizeLimit limit(100);
        EXPECT_FALSE(writeAll(file.get(), std::string(300, 'a')));
        EXPECT_EQ(errno, EFBIG);
    }
    EXPECT_EQ(readFile(dir.file("f")), std::string(100, 'a'));
    {
        FileSizeLimit limit(160);
        EXPECT_FALSE(writeAllParts(file.get(), {std::string(30, 'b'), "", std::string(50, 'c')}));
        EXPECT_EQ(errno, EFBIG);
    }
    EXPECT_EQ(readFile(dir.file("f")), std::string(100, 'a') + std::string(30, 'b') + std::string(30, 'c'));
}

TEST(SysUtil, PathPieces) {
    EXPECT_EQ(directoryOf("/var/lib/x/position"), "/var/lib/x");
    EXPECT_EQ(directoryOf("/position"), "/");
    EXPECT_EQ(directoryOf("position"), ".");
    EXPECT_EQ(directoryOf("a/b"), "a");
    EXPECT_EQ(baseNameOf("/var/lib/x/position"), "position");
    EXPECT_EQ(baseNameOf("position"), "position");
    EXPECT_EQ(baseNameOf("/var/lib/"), "");
}

TEST(SysUtil, TemporaryNamesAreRecognisedExactly) {
    EXPECT_EQ(temporaryName("position", 4321, 0xdeadbeef), ".position.tmp.4321.deadbeef");
    EXPECT_EQ(temporaryName("position", 7, 0x1a), ".position.tmp.7.0000001a");
    pid_t pid = 0;
    EXPECT_TRUE(isTemporaryName(".position.tmp.4321.deadbeef", "position", &pid));
    EXPECT_EQ(pid, 4321);
    EXPECT_TRUE(isTemporaryName(".position.tmp.2147483647.00000000", "position", nullptr));
    // Files that are not ours, among them look-alikes and the names other
    // tools give to copies.
    for (const char *other : {"position",
                              "position.Ab12Cd",
                              "position.1",
                              ".position.bak",
                              ".position.tmp",
                              ".position.tmp.4321",
                              ".position.tmp.4321.",
                              ".position.tmp.4321.deadbee",
                              ".position.tmp.4321.deadbeef0",
                              ".position.tmp.4321.DEADBEEF",
                              ".position.tmp.04321.deadbeef",
                              ".position.tmp.x321.deadbeef",
                              ".position.tmp..deadbeef",
                              ".position.tmp.2147483648.deadbeef",
                              ".position.tmp.12345678901.deadbeef",
                              ".position.tmp.4321.deadbeef.swp",
                              ".position.1.tmp.4321.deadbeef",
                              ".positio.tmp.4321.deadbeef",
                              "..position.tmp.4321.deadbeef",
                              ".other.tmp.4321.deadbeef",
                              ".position.tmp.-1.deadbeef",
                              ".position.tmp.4321.dead beef"})
        EXPECT_FALSE(isTemporaryName(other, "position", nullptr)) << other;
}

TEST(SysUtil, ReplaceFileWritesWholeFilesWithTheModeAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir.file("state");
    std::string error;
    mode_t umaskWas = ::umask(077);
    ASSERT_TRUE(replaceFile(path, "one\n", 0644, &error)) << error;
    ::umask(umaskWas);
    ASSERT_TRUE(replaceFile(path, "two\n", 0640, &error)) << error;
    EXPECT_EQ(readFile(path), "two\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"state"});

    // A symbolic link at the path is replaced, not written through.
    writeFile(dir.file("target"), "target\n");
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    ASSERT_TRUE(replaceFile(dir.file("link"), "new\n", 0644, &error)) << error;
    EXPECT_EQ(readFile(dir.file("target")), "target\n");
    EXPECT_EQ(readFile(dir.file("link")), "new\n");

    // A failed rename names the temporary file, which is gone.
    ASSERT_EQ(::mkdir(dir.file("busy").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("busy/x").c_str(), 0755), 0);
    EXPECT_FALSE(replaceFile(dir.file("busy"), "x", 0644, &error));
    const std::string prefix = "cannot rename " + dir.path() + "/";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    const std::string temp = error.substr(prefix.size(), error.find(' ', prefix.size()) - prefix.size());
    EXPECT_TRUE(isTemporaryName(temp, "busy", nullptr)) << temp;
    EXPECT_FALSE(fileExists(dir.file(temp)));
}

TEST(SysUtil, StaleTemporariesOfDeadWritersGoAndNothingElse) {
    TempDir dir;
    const std::string path = dir.file("position");
    const std::string dead = std::to_string(deadPid());
    const std::string stale = ".position.tmp." + dead + ".0123abcd";
    const std::vector<std::string> kept = {
        "position",
        ".position.tmp.1.0123abcd",                                   // its writer runs
        ".position.tmp." + std::to_string(::getpid()) + ".0123abcd",  // ours
        "position.Ab12Cd",                                            // not this scheme
        ".position.bak",
        "position.1",
        ".position.tmp." + dead + ".0123abcd.swp",
        ".other.tmp." + dead + ".0123abcd",
    };
    for (const auto &name : kept)
        writeFile(dir.file(name), "keep\n");
    writeFile(dir.file(stale), "1 2 3\n");
    // Matching names that are no regular file are not touched either.
    ASSERT_EQ(::mkdir(dir.file(".position.tmp." + dead + ".89abcdef").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(path.c_str(), dir.file(".position.tmp." + dead + ".fedcba98").c_str()), 0);

    EXPECT_EQ(removeStaleTemporaries(path), std::vector<std::string>{stale});
    EXPECT_FALSE(fileExists(dir.file(stale)));
    for (const auto &name : kept)
        EXPECT_EQ(readFile(dir.file(name)), "keep\n") << name;
    EXPECT_TRUE(std::filesystem::is_directory(dir.file(".position.tmp." + dead + ".89abcdef")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file(".position.tmp." + dead + ".fedcba98")));
    EXPECT_TRUE(removeStaleTemporaries(dir.file("missing/position")).empty());
}

}  // namespace
}  // namespace vrex::testing
