// The handle owners and the reads and writes that survive signals: each
// test names a way a copy of these helpers has gone wrong before (a double
// close, a lost tail after a short write, an interrupted call taken for a
// failure).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "full_disk.h"
#include "signal_storm.h"
#include "sysutil/io.h"
#include "sysutil/path.h"
#include "sysutil/unique_fd.h"
#include "test_util.h"

using namespace vrex::sys;
using vrex::testing::blockAlarm;
using vrex::testing::CaptureOutput;
using vrex::testing::SignalStorm;
using vrex::testing::TempDir;
using vrex::testing::unblockAlarm;

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    UniqueFd reader() { return UniqueFd(fds[0]); }
    UniqueFd writer() { return UniqueFd(fds[1]); }
};

// Fills a pipe until a non-blocking write finds it full, then makes the
// writer blocking again.
void fillPipe(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    char block[4096] = {};
    while (::write(fd, block, sizeof block) > 0) {}
    while (::write(fd, block, 1) > 0) {}
    ::fcntl(fd, F_SETFL, flags);
}

std::string readAll(int fd) {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    }
    return out;
}

}  // namespace

TEST(UniqueFd, OwnsExactlyOneDescriptorAcrossMovesResetsAndReleases) {
    UniqueFd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(a.valid());
    int fd = a.get();
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), fd);
    UniqueFd c;
    c = std::move(b);
    EXPECT_EQ(c.get(), fd);
    EXPECT_TRUE(isOpen(fd));

    int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    c.reset(other);  // the old descriptor is closed, the new one taken
    EXPECT_FALSE(isOpen(fd));
    EXPECT_EQ(c.get(), other);
    int released = c.release();
    EXPECT_FALSE(c.valid());
    EXPECT_TRUE(isOpen(released));
    c.reset(released);
    EXPECT_EQ(c.close(), 0);
    EXPECT_FALSE(isOpen(released));
    EXPECT_EQ(c.close(), 0);  // nothing left to close
    {
        UniqueFd scoped(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        fd = scoped.get();
    }
    EXPECT_FALSE(isOpen(fd));
}

TEST(UniqueFd, CloseReportsTheFailureOfClose) {
    UniqueFd bogus(1 << 20);  // not an open descriptor
    EXPECT_EQ(bogus.close(), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(bogus.valid());
}

TEST(StreamOwners, CloseTheirStreamAndDirectory) {
    TempDir dir;
    int fileFd = -1, dirFd = -1;
    {
        UniqueFile file(std::fopen(dir.file("f").c_str(), "w"));
        ASSERT_TRUE(file);
        fileFd = ::fileno(file.get());
        UniqueDir d(::opendir(dir.path().c_str()));
        ASSERT_TRUE(d);
        dirFd = ::dirfd(d.get());
        EXPECT_TRUE(isOpen(fileFd) && isOpen(dirFd));
    }
    EXPECT_FALSE(isOpen(fileFd));
    EXPECT_FALSE(isOpen(dirFd));
}

TEST(WriteAll, DeliversEveryByteInOrderThroughSignalsAndShortWrites) {
    Pipe p;
    UniqueFd in = p.reader(), out = p.writer();
    std::string sent(4 << 20, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7 + i / 4096);
    std::string received;
    std::thread reader([&] {
        blockAlarm();
        // Read slowly at first, so that the writer blocks with a full pipe.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        received = readAll(in.get());
    });
    int err;
    {
        SignalStorm storm(200);
        err = writeAll(out.get(), sent.data(), sent.size());
    }
    out.reset();
    reader.join();
    EXPECT_EQ(err, 0) << errorText(err);
    EXPECT_GT(SignalStorm::seen(), 0);
    EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size() << " bytes";
}

TEST(WriteAll, GivesTheErrnoOfTheWriteThatFailed) {
    TempDir dir;
    UniqueFd readOnly(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(writeAll(readOnly.get(), "x", 1), EBADF);
    // A file that may not grow past 100 bytes takes 100 of 1000, then fails.
    std::string path = dir.file("limited");
    auto child = vrex::testing::runWithFileSizeLimit(100, [&] {
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        std::string block(1000, 'b');
        std::printf("%d", writeAll(fd.get(), block.data(), block.size()));
        return 0;
    });
    EXPECT_EQ(child.out, std::to_string(EFBIG));
    EXPECT_EQ(vrex::testing::readFile(path), std::string(100, 'b'));
}

TEST(WriteOnceAndReadOnce, AreRepeatedWhenASignalInterruptsThemBeforeAnyByte) {
    Pipe p;
    UniqueFd in = p.reader(), out = p.writer();
    fillPipe(out.get());
    ssize_t wrote;
    std::string drained;
    {
        SignalStorm storm(1000);
        // The pipe is full: the write blocks, is interrupted, and must be
        // repeated until the reader makes room.
        std::thread reader([&] {
            blockAlarm();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            char buf[65536];
            ssize_t n = ::read(in.get(), buf, sizeof buf);
            drained.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
        });
        wrote = writeOnce(out.get(), "0123456789", 10);
        reader.join();
    }
    EXPECT_EQ(wrote, 10);
    EXPECT_GT(SignalStorm::seen(), 5);

    Pipe q;
    UniqueFd qin = q.reader(), qout = q.writer();
    char buf[16] = {};
    ssize_t got;
    {
        SignalStorm storm(1000);
        std::thread writer([&] {
            blockAlarm();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(::write(qout.get(), "late", 4), 4);
        });
        got = readOnce(qin.get(), buf, sizeof buf);
        writer.join();
    }
    EXPECT_EQ(got, 4);
    EXPECT_STREQ(buf, "late");
}

TEST(LockExclusive, WaitsForTheHolderThroughSignals) {
    TempDir dir;
    std::string path = dir.file("lock");
    UniqueFd holder(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    UniqueFd waiter(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(lockExclusive(holder.get()), 0);
    std::atomic<bool> acquired{false};
    int result = -1;
    {
        SignalStorm storm(1000);
        blockAlarm();  // the signals go to the waiting thread
        std::thread t([&] {
            unblockAlarm();
            result = lockExclusive(waiter.get());
            acquired = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(acquired.load()) << "the lock was taken while held, or the wait ended on a signal";
        holder.reset();
        t.join();
        unblockAlarm();
    }
    EXPECT_GT(SignalStorm::seen(), 5);
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(result, 0);
    EXPECT_EQ(lockExclusive(-1), EBADF);
}

TEST(ErrorText, IsWhatPerrorPrints) {
    EXPECT_EQ(errorText(ENOENT), "No such file or directory");
    CaptureOutput cap;
    errno = ENOSPC;
    std::perror("write");
    printError("write", ENOSPC);
    std::string err = cap.err();
    EXPECT_EQ(err, "write: No space left on device\nwrite: No space left on device\n");
}

TEST(Paths, DirectoryAndNameOfEveryShapeOfPath) {
    struct Case {
        const char *path, *dir, *name;
    } const cases[] = {
        {"/etc/vrex/container/container.xml", "/etc/vrex/container", "container.xml"},
        {"container.xml", ".", "container.xml"},
        {"/container.xml", "/", "container.xml"},
        {"a/b", "a", "b"},
        {"dir/", "dir", ""},
        {"", ".", ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(directoryOf(c.path), c.dir) << c.path;
        EXPECT_EQ(baseNameOf(c.path), c.name) << c.path;
    }
}
