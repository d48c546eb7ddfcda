// The private lock file and the reserved standard descriptors: a lock that
// another user could hold, plant or redirect, and messages written into a
// file that took the number of a closed standard output.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "sysutil/io.h"
#include "sysutil/lock_file.h"
#include "sysutil/unique_fd.h"
#include "test_util.h"

using namespace vrex::sys;
using vrex::testing::fileExists;
using vrex::testing::readFile;
using vrex::testing::TempDir;
using vrex::testing::writeFile;

namespace {

mode_t modeOf(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Whether another open of the file could take the lock now.
bool lockIsFree(const std::string &path) {
    UniqueFd other(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!other)
        return false;
    return ::flock(other.get(), LOCK_EX | LOCK_NB) == 0;
}

}  // namespace

TEST(PrivateLock, MakesItsDirectoryAndFileForTheOwnerAloneAndExcludesOthers) {
    TempDir dir;
    const std::string lockDir = dir.file("run"), path = lockDir + "/policy.lock";
    UniqueFd held;
    LockResult locked = lockPrivateFile(path, held);
    ASSERT_TRUE(locked.ok()) << lockFailureText(path, locked);
    EXPECT_EQ(modeOf(lockDir) & 07777, 0700u);
    EXPECT_EQ(modeOf(path) & 07777, 0600u);
    EXPECT_TRUE(S_ISREG(modeOf(path)));
    // flock excludes other open file descriptions, in this process too.
    EXPECT_FALSE(lockIsFree(path));
    held.reset();
    EXPECT_TRUE(lockIsFree(path));
    // An existing private file and directory are taken as they are.
    ASSERT_TRUE(lockPrivateFile(path, held).ok());
    EXPECT_FALSE(lockIsFree(path));
}

TEST(PrivateLock, RefusesFilesOthersCouldHoldOrRedirectAndChangesNothing) {
    struct Case {
        const char *what;
        void (*plant)(const std::string &dir, const std::string &path);
        LockStep step;
    };
    const Case cases[] = {
        {"a link to a file of someone else's",
         [](const std::string &dir, const std::string &path) {
             writeFile(dir + "/target", "keep");
             ASSERT_EQ(::symlink((dir + "/target").c_str(), path.c_str()), 0);
         },
         LockStep::UnsafeFile},
        {"a dangling link",
         [](const std::string &dir, const std::string &path) {
             ASSERT_EQ(::symlink((dir + "/target").c_str(), path.c_str()), 0);
         },
         LockStep::UnsafeFile},
        {"a FIFO (must not block)",
         [](const std::string &, const std::string &path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
         LockStep::UnsafeFile},
        {"a file others may open",
         [](const std::string &, const std::string &path) {
             writeFile(path, "");
             ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
         },
         LockStep::UnsafeFile},
        {"a directory others may write in",
         [](const std::string &dir, const std::string &) { ASSERT_EQ(::chmod(dir.c_str(), 0777), 0); },
         LockStep::UnsafeDirectory},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string lockDir = dir.file("run"), path = lockDir + "/policy.lock";
        ASSERT_EQ(::mkdir(lockDir.c_str(), 0700), 0);
        c.plant(lockDir, path);
        const mode_t before = modeOf(path);
        UniqueFd held;
        LockResult locked = lockPrivateFile(path, held);
        EXPECT_EQ(locked.failed, c.step) << lockFailureText(path, locked);
        EXPECT_FALSE(held.valid());
        EXPECT_EQ(modeOf(path), before);
        EXPECT_FALSE(fileExists(lockDir + "/target") && readFile(lockDir + "/target") != "keep");
        if (std::string(c.what) == "a dangling link") {
            EXPECT_FALSE(fileExists(lockDir + "/target")) << "the link was followed";
        }
    }
}

TEST(PrivateLock, RefusesALinkedDirectoryAndAFileOfAnotherUser) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.file("real").c_str(), dir.file("run").c_str()), 0);
    UniqueFd held;
    std::string path = dir.file("run") + "/policy.lock";
    LockResult locked = lockPrivateFile(path, held);
    EXPECT_EQ(locked.failed, LockStep::OpenDirectory);
    EXPECT_EQ(lockFailureText(path, locked), "open " + dir.file("run") + ": Not a directory");
    EXPECT_FALSE(fileExists(dir.file("real") + "/policy.lock"));

    if (::geteuid() != 0)
        GTEST_SKIP() << "handing a file to another user needs root";
    path = dir.file("real") + "/policy.lock";
    writeFile(path, "");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    locked = lockPrivateFile(path, held);
    EXPECT_EQ(locked.failed, LockStep::UnsafeFile);
    EXPECT_EQ(lockFailureText(path, locked), path + " is not a regular file of this user closed to others (mode 0600)");
}

TEST(StandardDescriptors, AClosedOutputKeepsItsNumberAndStillFails) {
    TempDir dir;
    const std::string file = dir.file("opened-later");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(1);
        ::close(2);
        if (reserveStandardDescriptors() != 0)
            _exit(10);
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd == 1 || fd == 2)
            _exit(11);  // the file would receive what is printed
        if (::write(1, "x", 1) != -1 || errno != EBADF)
            _exit(12);  // the output did not stay closed for writing
        _exit(reserveStandardDescriptors() == 0 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(file), "");
}
