// The record's vocabulary shared by the store, the tool and the core
// library: the hexadecimal rule, the record's bytes, and the one kernel
// write with the failures each caller words in its own way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "container_record.h"
#include "full_disk.h"
#include "record_fixtures.h"
#include "signal_storm.h"
#include "test_util.h"

using namespace vrex::record;
using vrex::testing::recordBytes;
using vrex::testing::TempDir;

namespace {

std::string bytesOfRecord(const _ContainerPolicy &r) {
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

}  // namespace

TEST(RecordVocabulary, TheBranchFreeHexCheckAgreesWithTheDigitRuleForEveryByte) {
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        EXPECT_EQ(isHexDigit(ch), digit) << c;
        std::string id(64, 'a');
        id[c % 64] = ch;
        EXPECT_EQ(allHexDigits(id), digit) << c;
        EXPECT_EQ(isValidContainerId(id.c_str()), digit && c != 0) << c;
    }
    EXPECT_TRUE(allHexDigits(""));
}

TEST(RecordVocabulary, SwitchValuesAreTheKernelsOnes) {
    for (long long v : {-4LL, -1LL, 1LL, 3LL, 5LL, 6LL, 256LL, 258LL, 260LL})
        EXPECT_FALSE(isGlobalSwitchValue(v)) << v;
    for (long long v : {0LL, 2LL, 4LL})
        EXPECT_TRUE(isGlobalSwitchValue(v)) << v;
    EXPECT_EQ(kGlobalOff, 0);
    EXPECT_EQ(kGlobalOn, 2);
    EXPECT_EQ(kGlobalSoftMode, 4);
}

TEST(RecordVocabulary, TheRecordIsTheIdPaddedWithNulsThenFourSwitchBytes) {
    EXPECT_EQ(bytesOfRecord(makeRecord("web-1", 4, 1, 0, 255)), recordBytes("web-1", 4, 1, 0, 255));
    std::string full = vrex::testing::makeId(0xabc);
    EXPECT_EQ(bytesOfRecord(makeRecord(full, 2, 0, 1, 0)), recordBytes(full, 2, 0, 1, 0));
    // Never more than 64 bytes of id: the 65th byte stays the NUL.
    EXPECT_EQ(bytesOfRecord(makeRecord(full + "ff", 2, 0, 1, 0)), recordBytes(full, 2, 0, 1, 0));
    EXPECT_EQ(bytesOfRecord(makeRecord("", 0, 0, 0, 0)), std::string(69, '\0'));
}

TEST(KernelWrite, EachFailureIsReportedAtItsStep) {
    TempDir dir;
    const _ContainerPolicy rec = makeRecord("abc", 2, 1, 1, 1);
    KernelWrite missing = writeToKernel(dir.file("dockerstatus").c_str(), &rec, sizeof rec);
    EXPECT_EQ(missing.failed, KernelStep::Open);
    EXPECT_EQ(missing.err, ENOENT);
    EXPECT_FALSE(vrex::testing::fileExists(dir.file("dockerstatus"))) << "the status file is never created";

    KernelWrite full = writeToKernel("/dev/full", &rec, sizeof rec);
    EXPECT_EQ(full.failed, KernelStep::Write);
    EXPECT_EQ(full.err, ENOSPC);

    // A file that takes only 10 bytes: a short count, not a failure.
    std::string path = dir.file("short");
    vrex::testing::writeFile(path, "");
    auto child = vrex::testing::runWithFileSizeLimit(10, [&] {
        KernelWrite w = writeToKernel(path.c_str(), &rec, sizeof rec);
        std::printf("%d %zu", static_cast<int>(w.failed), w.accepted);
        return 0;
    });
    EXPECT_EQ(child.out, "0 10");
    EXPECT_EQ(vrex::testing::readFile(path), recordBytes("abc", 2, 1, 1, 1).substr(0, 10));

    // The file is written from its start, not truncated: one record over a longer content.
    vrex::testing::writeFile(path, std::string(100, 'x'));
    KernelWrite over = writeToKernel(path.c_str(), &rec, sizeof rec);
    EXPECT_EQ(over.failed, KernelStep::None);
    EXPECT_EQ(over.accepted, 69u);
    EXPECT_EQ(vrex::testing::readFile(path), recordBytes("abc", 2, 1, 1, 1) + std::string(31, 'x'));
}

TEST(KernelWrite, AnInterruptedWriteIsRepeatedAndArrivesAsOneWrite) {
    TempDir dir;
    std::string fifo = dir.file("dockerstatus");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A full pipe with a reader that holds it open: the write blocks, is
    // interrupted again and again, and must be repeated until there is room.
    int holder = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    std::string filler(4096, 'f');
    size_t filled = 0;
    for (ssize_t n; (n = ::write(holder, filler.data(), filler.size())) > 0;)
        filled += static_cast<size_t>(n);
    const _ContainerPolicy recs[3] = {makeRecord("a", 2, 1, 1, 1), makeRecord("b", 4, 0, 0, 0),
                                      makeRecord("c", 0, 1, 0, 1)};
    KernelWrite sent;
    std::atomic<bool> writerDone{false};
    std::string drained;
    {
        vrex::testing::SignalStorm storm(1000);
        std::thread reader([&] {
            vrex::testing::blockAlarm();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            char buf[65536];
            // Until the writer is done and the pipe is empty.
            for (bool done = false;;) {
                ssize_t n = ::read(holder, buf, sizeof buf);
                if (n > 0)
                    drained.append(buf, static_cast<size_t>(n));
                else if (done)
                    break;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                done = writerDone.load();
            }
        });
        sent = writeToKernel(fifo.c_str(), recs, sizeof recs);
        writerDone = true;
        reader.join();
    }
    ::close(holder);
    EXPECT_GT(vrex::testing::SignalStorm::seen(), 5);
    EXPECT_EQ(sent.failed, KernelStep::None) << errno;
    EXPECT_EQ(sent.accepted, sizeof recs);
    EXPECT_EQ(drained.substr(filled), bytesOfRecord(recs[0]) + bytesOfRecord(recs[1]) + bytesOfRecord(recs[2]));
}
