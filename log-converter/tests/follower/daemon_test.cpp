// The real daemon, at its real paths in the test sandbox, fed
// sequence-numbered audit lines; the event log is compared line for line
// with what must come out.
#include "daemon_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace vrex::testing {
namespace {

// ------------------------------------------------------------ rotation

TEST_F(DaemonTest, RotationUnderLoadConvertsEveryLineExactlyOnce) {
    // The installed defaults: /var/log/vrex_audit.log to /var/log/zorva_container.log.
    const std::string input = kAuditLog;
    const std::string output = kEventLog;
    appendText(input, "");
    Daemon daemon("", stderr_);
    ASSERT_TRUE(daemon.start()) << readOrEmpty(stderr_);

    constexpr std::uint64_t kTotal = 200000, kPerFile = 10000, kRenames = 20;
    Seqs expected;
    int fd = openAppend(input);
    ASSERT_GE(fd, 0);
    std::uint64_t renames = 0;
    for (std::uint64_t seq = 0; seq < kTotal; ++seq) {
        writeAllTo(fd, auditLine(seq));
        if (isContainerSeq(seq))
            expected.push_back(seq);
        if ((seq + 1) % kPerFile != 0 || renames == kRenames)
            continue;
        ASSERT_EQ(::rename(input.c_str(), (input + "." + std::to_string(++renames)).c_str()), 0);
        // The old file goes on being written for 200 ms after the rename.
        auto until = std::chrono::steady_clock::now() + 200ms;
        while (std::chrono::steady_clock::now() < until && seq + 1 < kTotal) {
            ++seq;
            writeAllTo(fd, auditLine(seq));
            if (isContainerSeq(seq))
                expected.push_back(seq);
            std::this_thread::sleep_for(1ms);
        }
        ::close(fd);
        fd = openAppend(input);
        ASSERT_GE(fd, 0);
    }
    ::close(fd);
    ASSERT_EQ(renames, kRenames);
    stopAndExpectExactly(daemon, expected, {output}, 90s);
}

TEST_F(DaemonTest, OldFileDeletedRightAfterRenameIsStillRead) {
    appendText(input_, "");
    auto daemon = startDaemon();
    int fd = openAppend(input_);
    Seqs expected;
    std::string text;
    for (std::uint64_t seq = 0; seq < 300; ++seq) {
        if (seq == 100) {
            ASSERT_EQ(::rename(input_.c_str(), (input_ + ".1").c_str()), 0);
        }
        if (seq == 150) {
            ASSERT_EQ(::unlink((input_ + ".1").c_str()), 0);
        }
        if (seq == 200) {
            ::close(fd);
            fd = openAppend(input_);
        }
        writeAllTo(fd, auditLine(seq));
        if (isContainerSeq(seq))
            expected.push_back(seq);
    }
    ::close(fd);
    stopAndExpectExactly(*daemon, expected, {output_});
}

// ---------------------------------------------------------- truncation

TEST_F(DaemonTest, TruncationToZeroAndRegrowthLosesNothing) {
    appendText(input_, "");
    auto daemon = startDaemon();
    Seqs expected;
    for (std::uint64_t round = 0; round < 3; ++round) {
        append(expected, appendRange(input_, round * 100, round * 100 + 100));
        ASSERT_TRUE(waitForAll(expected, {output_}));
        ASSERT_EQ(::truncate(input_.c_str(), 0), 0);
        std::this_thread::sleep_for(100ms);
    }
    append(expected, appendRange(input_, 300, 350));
    stopAndExpectExactly(*daemon, expected, {output_});
    EXPECT_TRUE(daemon->logged("truncations 3"));
}

TEST_F(DaemonTest, CopytruncateLosesNothing) {
    appendText(input_, "");
    auto daemon = startDaemon();
    Seqs expected;
    for (std::uint64_t round = 0; round < 3; ++round) {
        append(expected, appendRange(input_, round * 100, round * 100 + 100));
        ASSERT_TRUE(waitForAll(expected, {output_}));
        // What a rotation tool does with copytruncate: copy, then truncate in place.
        writeFile(input_ + "." + std::to_string(round), readOrEmpty(input_));
        ASSERT_EQ(::truncate(input_.c_str(), 0), 0);
        std::this_thread::sleep_for(100ms);
    }
    append(expected, appendRange(input_, 300, 400));
    stopAndExpectExactly(*daemon, expected, {output_});
}

// --------------------------------------------------------- line limits

TEST_F(DaemonTest, LineWrittenInThreeWritesIsOneEvent) {
    appendText(input_, "");
    auto daemon = startDaemon();
    std::string line = containerLine(42) + "\n";
    int fd = openAppend(input_);
    writeAllTo(fd, line.substr(0, 30));
    std::this_thread::sleep_for(50ms);
    writeAllTo(fd, line.substr(30, 100));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(readOrEmpty(output_), "") << "an event came out before the line was complete";
    writeAllTo(fd, line.substr(130));
    ::close(fd);
    stopAndExpectExactly(*daemon, {42}, {output_});
}

TEST_F(DaemonTest, LinesAcrossTheReadBoundaryAndOverTheLimit) {
    // The input appears whole, so the daemon reads it from offset 0 in reads
    // of 10485760 bytes: the first container line straddles the boundary.
    auto daemon = startDaemon();
    std::string text;
    std::uint64_t seq = 0;
    while (text.size() < kLineLimit - 2000)
        text += noiseLine(seq++) + "\n";
    std::string filler = "type=SYSCALL msg=audit(1796638780.123:1): pad=";
    filler += std::string(kLineLimit - 100 - text.size() - filler.size() - 1, 'p') + "\n";
    text += filler;
    const std::uint64_t straddling = 1000001, tooLong = 1000002, after = 1000003;
    text += containerLine(straddling) + "\n";
    ASSERT_GT(text.size(), kLineLimit) << "the line must cross the boundary";
    text += containerLine(tooLong) + " pad=" + std::string(kLineLimit, 'q') + "\n";
    text += containerLine(after) + "\n";
    std::string staged = dir_->file("staged");
    appendText(staged, text);
    ASSERT_EQ(::rename(staged.c_str(), input_.c_str()), 0);
    stopAndExpectExactly(*daemon, {straddling, after}, {output_});
    EXPECT_TRUE(daemon->logged("[WARN] Dropping a line longer than 10485760 bytes"));
    EXPECT_TRUE(daemon->logged("dropped 1,"));
}

// ------------------------------------------------------------ restarts

TEST_F(DaemonTest, RotatedWhileStoppedLosesNoLine) {
    appendText(input_, "");
    Seqs expected;
    std::uint64_t seq = 0;
    for (int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGKILL");
        auto daemon = startDaemon(true);
        append(expected, appendRange(input_, seq, seq + 100));
        seq += 100;
        ASSERT_TRUE(waitForAll(expected, {output_}));
        ASSERT_TRUE(positionCovers(position_, input_));
        if (sig == SIGKILL)
            daemon->kill9();
        else
            EXPECT_EQ(daemon->stop(SIGTERM), 0);
        // While no daemon runs: more lines to the old file, rotation, lines
        // to the new file.
        append(expected, appendRange(input_, seq, seq + 100));
        seq += 100;
        ASSERT_EQ(::rename(input_.c_str(), (input_ + ".1").c_str()), 0);
        append(expected, appendRange(input_, seq, seq + 100));
        seq += 100;
        ASSERT_TRUE(daemon->start()) << readOrEmpty(stderr_);
        // The old file is still written to just after the restart.
        append(expected, appendRange(input_ + ".1", seq, seq + 10));
        seq += 10;
        append(expected, appendRange(input_, seq, seq + 10));
        seq += 10;
        EXPECT_TRUE(waitForAll(expected, {output_}));
        EXPECT_TRUE(daemon->logged("Following " + input_ + ".1 from the saved position (offset "));
        EXPECT_EQ(daemon->stop(SIGTERM), 0);
        expectExactly(expected, {output_});
    }
}

TEST_F(DaemonTest, RotatedAndDeletedWhileStoppedReadsTheNewFileWholeAndWarns) {
    appendText(input_, "");
    auto daemon = startDaemon(true);
    auto expected = appendRange(input_, 0, 100);
    ASSERT_TRUE(waitForAll(expected, {output_}));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    // Written after the stop to a file that is then deleted: lost, and said so.
    appendRange(input_, 100, 200);
    ASSERT_EQ(::rename(input_.c_str(), (input_ + ".1").c_str()), 0);
    ASSERT_EQ(::unlink((input_ + ".1").c_str()), 0);
    append(expected, appendRange(input_, 200, 300));
    ASSERT_TRUE(daemon->start()) << readOrEmpty(stderr_);
    append(expected, appendRange(input_, 300, 310));
    EXPECT_TRUE(waitForAll(expected, {output_}));
    EXPECT_TRUE(daemon->logged("[WARN] The file of the saved position"));
    EXPECT_TRUE(daemon->logged("could not be recovered"));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    expectExactly(expected, {output_});
}

// -------------------------------------------------------- output log

TEST_F(DaemonTest, OutputRenamedWhileWritingAndSighupLosesNothing) {
    appendText(input_, "");
    auto daemon = startDaemon();
    Seqs expected;
    std::thread writer([&] {
        int fd = openAppend(input_);
        for (std::uint64_t seq = 0; seq < 20000; ++seq) {
            writeAllTo(fd, auditLine(seq));
            if (isContainerSeq(seq))
                expected.push_back(seq);
            if (seq % 20 == 0)
                std::this_thread::sleep_for(1ms);
        }
        ::close(fd);
    });
    for (int i = 1; i <= 2; ++i) {
        std::this_thread::sleep_for(400ms);
        ASSERT_EQ(::rename(output_.c_str(), (output_ + "." + std::to_string(i)).c_str()), 0);
        daemon->signal(SIGHUP);
    }
    writer.join();
    const std::vector<std::string> files = {output_ + ".1", output_ + ".2", output_};
    stopAndExpectExactly(*daemon, expected, files);
    EXPECT_TRUE(daemon->logged("SIGHUP: reopening"));
}

TEST_F(DaemonTest, SighupReopensTheDiagnosticLogAtItsName) {
    appendText(input_, "");
    auto daemon = startDaemon();
    const std::string rotated = kDiagnosticLog + ".1";
    ASSERT_EQ(::rename(kDiagnosticLog.c_str(), rotated.c_str()), 0);
    daemon->signal(SIGHUP);
    EXPECT_TRUE(waitUntil(
        [&] { return readOrEmpty(kDiagnosticLog).find("Reopened the output log") != std::string::npos; }, 5s));
    EXPECT_NE(readOrEmpty(rotated).find("SIGHUP: reopening"), std::string::npos);
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    EXPECT_NE(readOrEmpty(kDiagnosticLog).find("Stopped: 0 lines processed"), std::string::npos);
}

TEST_F(DaemonTest, OutputTruncatedWhileWritingKeepsEveryLaterLineAndNoHoles) {
    appendText(input_, "");
    auto daemon = startDaemon();
    constexpr std::uint64_t kLines = 20000;
    std::thread writer([&] {
        int fd = openAppend(input_);
        for (std::uint64_t seq = 0; seq < kLines; ++seq) {
            writeAllTo(fd, auditLine(seq));
            if (seq % 20 == 0)
                std::this_thread::sleep_for(1ms);
        }
        ::close(fd);
    });
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(::truncate(output_.c_str(), 0), 0);
    daemon->signal(SIGHUP);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(::truncate(output_.c_str(), 0), 0);
    writer.join();
    std::uint64_t last = kLines - 1;
    while (!isContainerSeq(last))
        --last;
    EXPECT_TRUE(waitForAll({last}, {output_}));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    // Lines before the truncation are gone with it; every later one must be
    // there once, in a file without NUL holes.
    std::string problems;
    auto seen = eventsIn(readOrEmpty(output_), &problems);
    EXPECT_EQ(problems, "");
    ASSERT_FALSE(seen.empty());
    Seqs suffix;
    for (auto seq = seen.begin()->first; seq < kLines; ++seq)
        if (isContainerSeq(seq))
            suffix.push_back(seq);
    EXPECT_GT(seen.begin()->first, 0u) << "the truncation removed nothing?";
    EXPECT_EQ(describeDifference(suffix, seen, false), "");
}

// --------------------------------------------------------- model test

// A seeded random mix of appends, partial appends, rotations and
// truncations; the model is the list of container lines in write order,
// which is exactly the event log that must come out.
TEST_F(DaemonTest, RandomStepsMatchTheModel) {
    const unsigned seed = 7331;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto chance = [&](int percent) { return std::uniform_int_distribution<>(0, 99)(random) < percent; };
    appendText(input_, "");
    auto daemon = startDaemon();
    int fd = openAppend(input_);
    Seqs model;
    std::uint64_t seq = 0;
    std::string partialRest;  // the unwritten rest of a partly written line
    std::uint64_t partialSeq = 0;
    int rotations = 0, truncations = 0;
    auto finishPartial = [&] {
        if (partialRest.empty())
            return;
        writeAllTo(fd, partialRest);
        partialRest.clear();
        if (isContainerSeq(partialSeq))
            model.push_back(partialSeq);
    };
    for (int step = 0; step < 80; ++step) {
        int kind = std::uniform_int_distribution<>(0, 99)(random);
        if (kind < 45) {  // append whole lines in one write
            finishPartial();
            std::string text;
            for (int n = std::uniform_int_distribution<>(1, 30)(random); n > 0; --n, ++seq) {
                text += auditLine(seq);
                if (isContainerSeq(seq))
                    model.push_back(seq);
            }
            writeAllTo(fd, text);
        } else if (kind < 65) {  // partial append, or the rest of one
            if (!partialRest.empty()) {
                finishPartial();
            } else {
                std::string line = auditLine(seq);
                std::size_t cut = std::uniform_int_distribution<std::size_t>(1, line.size() - 1)(random);
                writeAllTo(fd, line.substr(0, cut));
                partialRest = line.substr(cut);
                partialSeq = seq++;
            }
        } else if (kind < 77 && rotations < 4) {  // rotate, maybe writing on to the old file
            finishPartial();
            ASSERT_EQ(::rename(input_.c_str(), (input_ + ".r" + std::to_string(++rotations)).c_str()), 0);
            if (chance(50)) {
                std::string text;
                for (int n = 0; n < 5; ++n, ++seq) {
                    text += auditLine(seq);
                    if (isContainerSeq(seq))
                        model.push_back(seq);
                }
                writeAllTo(fd, text);
            }
            ::close(fd);
            fd = openAppend(input_);
        } else if (kind < 87) {  // truncate once everything written was read
            finishPartial();
            ASSERT_TRUE(waitForAll(model, {output_}));
            ASSERT_EQ(::ftruncate(fd, 0), 0);
            ++truncations;
            std::this_thread::sleep_for(100ms);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<>(0, 30)(random)));
        }
    }
    finishPartial();
    ::close(fd);
    ASSERT_FALSE(model.empty());
    EXPECT_TRUE(waitForAll(model, {output_}));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);

    std::string problems;
    expectExactly(model, {output_});
    // Order too: the follower hands lines on in the order they were written.
    EXPECT_EQ(eventOrder(readOrEmpty(output_)), model);
    std::printf("model run: %zu events, %d rotations, %d truncations\n", model.size(), rotations, truncations);
}

// ------------------------------------------------------------ lifecycle

TEST_F(DaemonTest, SigintStopsCleanlyAndReportsTheTotal) {
    appendText(input_, "");
    auto daemon = startDaemon();
    auto expected = appendRange(input_, 0, 20);
    ASSERT_TRUE(waitForAll(expected, {output_}));
    EXPECT_EQ(daemon->stop(SIGINT), 0);
    EXPECT_TRUE(daemon->logged("Received SIGINT, stopping"));
    EXPECT_TRUE(daemon->logged("Stopped: 20 lines processed, " + std::to_string(expected.size()) + " events written"));
}

TEST_F(DaemonTest, CannotStartGivesAClearMessageAndNonZeroStatus) {
    writeConfig(false, "/nonexistent-directory/events.log");
    auto r = runProcess({VREX_DAEMON_BINARY, "--config", config_});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("Cannot start: cannot open the output log /nonexistent-directory/events.log"),
              std::string::npos)
        << r.err;

    ASSERT_EQ(::mkdir(input_.c_str(), 0755), 0);  // the input is a directory
    writeConfig(false);
    r = runProcess({VREX_DAEMON_BINARY, "--config", config_});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("is not a regular file"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace vrex::testing
