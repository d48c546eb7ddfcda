// LogReader on temporary files, with each backend: where it starts, what it
// delivers, and how it behaves across truncation, rotation and restarts.
#include "files.h"
#include "reader_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// The follower's reads pass through here, so that a test can put a write at
// the exact moment a read has found the end of the file.
namespace {
std::atomic<bool> g_appendAtEndArmed{false};
std::string g_appendAtEndPath;
std::string g_appendAtEndText;
}  // namespace

extern "C" ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
    ssize_t n = ::syscall(SYS_pread64, fd, buf, count, offset);
    if (n == 0 && g_appendAtEndArmed.exchange(false)) {
        int out = ::open(g_appendAtEndPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (out >= 0) {
            (void)!::write(out, g_appendAtEndText.data(), g_appendAtEndText.size());
            ::close(out);
        }
    }
    return n;
}

namespace vrex {
namespace {

TEST_P(ReaderTest, StartsAtTheEndAndDeliversEachAppendedLineOnce) {
    appendText(path_, "old 1\nold 2\n");
    auto reader = startReader();
    appendText(path_, "new 1\n");
    appendText(path_, "new 2\nnew 3\n");
    EXPECT_EQ(got_.waitFor(3), (Lines{"new 1", "new 2", "new 3"}));
    settle();
    EXPECT_EQ(got_.lines().size(), 3u);
    EXPECT_EQ(reader->stats().linesRead, 3u);
}

TEST_P(ReaderTest, StartingInsideALineSkipsItsRest) {
    appendText(path_, "whole\nhalf of a li");
    auto reader = startReader();
    appendText(path_, "ne\nnext\n");
    EXPECT_EQ(got_.waitFor(1), (Lines{"next"}));
}

TEST_P(ReaderTest, RestartWhileInsideTheSkippedLineDoesNotDeliverItsRest) {
    appendText(path_, "whole\nhalf of a li");
    LogReader::Options options;
    options.positionFile = positionPath_;
    startReader(options)->stop();  // saves where it started: inside the line
    auto reader = startReader(options);
    appendText(path_, "ne\nnext\n");
    EXPECT_EQ(got_.waitFor(1), (Lines{"next"}));
    settle();
    EXPECT_EQ(got_.lines(), (Lines{"next"}));
}

TEST_P(ReaderTest, WriteRightAfterTheLastReadFoundTheEndIsDelivered) {
    appendText(path_, "");
    auto reader = startReader();
    appendText(path_, "first\n");
    got_.waitFor(1);
    settle();
    g_appendAtEndPath = path_;
    g_appendAtEndText = "second\n";
    g_appendAtEndArmed = true;
    appendText(path_, "trigger\n");
    EXPECT_EQ(got_.waitFor(3, 2000ms), (Lines{"first", "trigger", "second"}));
    EXPECT_FALSE(g_appendAtEndArmed.exchange(false));
}

TEST_P(ReaderTest, UnterminatedTailWaitsForItsNewline) {
    appendText(path_, "");
    auto reader = startReader();
    appendText(path_, "first part");
    settle();
    appendText(path_, ", second part");
    settle();
    EXPECT_TRUE(got_.lines().empty()) << "a line was delivered before its newline";
    appendText(path_, ", end\n");
    EXPECT_EQ(got_.waitFor(1), (Lines{"first part, second part, end"}));
}

TEST_P(ReaderTest, MissingFileIsAwaitedAndReadFromItsBeginning) {
    auto reader = startReader();
    EXPECT_TRUE(diagnosed(LogReader::Level::Info, "Waiting for"));
    std::string staged = dir_.file("staged");
    appendText(staged, "a\nb\n");
    ASSERT_EQ(::rename(staged.c_str(), path_.c_str()), 0);
    EXPECT_EQ(got_.waitFor(2), (Lines{"a", "b"}));
    appendText(path_, "c\n");
    EXPECT_EQ(got_.waitFor(3), (Lines{"a", "b", "c"}));
}

TEST_P(ReaderTest, TruncationRestartsFromOffsetZero) {
    appendText(path_, "before start\n");
    auto reader = startReader();
    appendText(path_, "a\nb\n");
    got_.waitFor(2);
    ASSERT_EQ(::truncate(path_.c_str(), 0), 0);
    settle();
    appendText(path_, "c\n");
    EXPECT_EQ(got_.waitFor(3), (Lines{"a", "b", "c"}));
    EXPECT_EQ(reader->stats().truncations, 1u);
}

TEST_P(ReaderTest, RotatedFileIsFinishedBeforeTheNewOne) {
    int old = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(old, 0);
    auto reader = startReader();
    writeAllTo(old, "old 1\n");
    got_.waitFor(1);
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    writeAllTo(old, "old 2\n");
    appendText(path_, "new 1\n");
    std::this_thread::sleep_for(100ms);
    writeAllTo(old, "old 3\n");  // still written after the new file appeared
    ::close(old);
    EXPECT_EQ(got_.waitFor(4), (Lines{"old 1", "old 2", "old 3", "new 1"}));
    appendText(path_, "new 2\n");
    EXPECT_EQ(got_.waitFor(5).back(), "new 2");
    EXPECT_EQ(reader->stats().rotations, 1u);
}

TEST_P(ReaderTest, OldFileRemovedRightAfterRenameIsStillDrained) {
    int old = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(old, 0);
    auto reader = startReader();
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    writeAllTo(old, "old 1\n");
    ASSERT_EQ(::unlink((path_ + ".1").c_str()), 0);
    writeAllTo(old, "old 2\n");
    ::close(old);
    appendText(path_, "new 1\n");
    EXPECT_EQ(got_.waitFor(3), (Lines{"old 1", "old 2", "new 1"}));
}

TEST_P(ReaderTest, SeveralQuickRotationsLoseNoFile) {
    appendText(path_, "");
    auto reader = startReader();
    Lines expected;
    for (int file = 0; file < 4; ++file) {
        for (int i = 0; i < 3; ++i) {
            expected.push_back("f" + std::to_string(file) + " l" + std::to_string(i));
            appendText(path_, expected.back() + "\n");
        }
        std::this_thread::sleep_for(40ms);
        ASSERT_EQ(::rename(path_.c_str(), (path_ + "." + std::to_string(file)).c_str()), 0);
        appendText(path_, "");
        std::this_thread::sleep_for(40ms);
    }
    EXPECT_EQ(got_.waitFor(expected.size(), 10s), expected);
}

TEST_P(ReaderTest, FileRenamedAwayBeforeTheFollowerLookedIsStillRead) {
    if (GetParam() == LogReader::Backend::Polling)
        GTEST_SKIP() << "only inotify reports where a file was renamed to";
    appendText(path_, "");
    auto reader = startReader();
    appendText(path_, "first 1\n");
    got_.waitFor(1);
    // Rotate twice in a row with no pause: the middle file lives at the
    // path for a moment only, and is written to after its rename.
    std::string staged = dir_.file("staged");
    appendText(staged, "middle 1\n");
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".2").c_str()), 0);
    ASSERT_EQ(::rename(staged.c_str(), path_.c_str()), 0);
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    appendText(path_ + ".1", "middle 2\n");
    appendText(path_, "last 1\n");
    EXPECT_EQ(got_.waitFor(4), (Lines{"first 1", "middle 1", "middle 2", "last 1"}));
    EXPECT_EQ(reader->stats().rotations, 2u);
}

TEST_P(ReaderTest, SmallReadsStillYieldWholeLines) {
    maxRead_ = 7;
    appendText(path_, "");
    auto reader = startReader();
    Lines expected;
    std::string text;
    for (int i = 0; i < 50; ++i) {
        expected.push_back("line number " + std::to_string(i));
        text += expected.back() + "\n";
    }
    appendText(path_, text);
    EXPECT_EQ(got_.waitFor(expected.size()), expected);
}

TEST_P(ReaderTest, LinesAtTheTenMebibyteLimit) {
    // Staged and moved into place, so the follower reads it from offset 0
    // in reads of exactly kMaxReadBytes.
    const std::string first(kMaxReadBytes - 10, 'a');
    const std::string straddling = "this line crosses the read boundary";
    const std::string exact(kMaxReadBytes, 'e');
    const std::string tooLong(kMaxReadBytes + 1, 't');
    std::string staged = dir_.file("staged");
    appendText(staged, first + "\n" + straddling + "\n" + exact + "\n" + tooLong + "\nafter\n");
    auto reader = startReader();
    ASSERT_EQ(::rename(staged.c_str(), path_.c_str()), 0);
    auto lines = got_.waitFor(4, 20s);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], straddling);
    EXPECT_EQ(lines[2].size(), exact.size());
    EXPECT_EQ(lines[3], "after");
    EXPECT_EQ(reader->stats().linesDropped, 1u);
    EXPECT_TRUE(diagnosed(LogReader::Level::Warn, "longer than 10485760 bytes"));
}

TEST_P(ReaderTest, ResumesFromTheSavedPositionAndSavesTheLastCompleteLine) {
    appendText(path_, "a\nb\n");
    std::string error;
    ASSERT_TRUE(savePosition(positionPath_, olderForm(positionOf(path_, 2)), &error)) << error;
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    EXPECT_EQ(got_.waitFor(1), (Lines{"b"}));
    appendText(path_, "c\nunfinished");
    got_.waitFor(2);
    reader->stop();
    auto saved = loadPosition(positionPath_, &error);
    ASSERT_TRUE(saved.has_value()) << error;
    EXPECT_EQ(saved->position, positionOf(path_, 6)) << "the unfinished line is not covered";
}

TEST_P(ReaderTest, PositionIsSavedWhileRunning) {
    appendText(path_, "");
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    appendText(path_, "xyz\n");
    got_.waitFor(1);
    std::string error;
    std::optional<SavedPosition> saved;
    for (int i = 0; i < 100 && !(saved && saved->position.offset == 4); ++i) {
        std::this_thread::sleep_for(20ms);
        saved = loadPosition(positionPath_, &error);
    }
    ASSERT_TRUE(saved.has_value()) << error;
    EXPECT_EQ(saved->position, positionOf(path_, 4));
}

TEST_P(ReaderTest, RotatedWhileStoppedDrainsTheSavedFileThenReadsTheNewOneWhole) {
    appendText(path_, "a\nb\n");
    std::string error;
    ASSERT_TRUE(savePosition(positionPath_, olderForm(positionOf(path_, 2)), &error));
    appendText(path_, "c\n");
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    appendText(path_, "new 1\n");
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    appendText(path_ + ".1", "d\n");  // the old file is still written to
    EXPECT_EQ(got_.waitFor(4), (Lines{"b", "c", "d", "new 1"}));
    appendText(path_, "new 2\n");
    EXPECT_EQ(got_.waitFor(5).back(), "new 2");
    EXPECT_TRUE(diagnosed(LogReader::Level::Info, "Following " + path_ + ".1 from the saved position (offset 2)"));
    reader->stop();
    auto saved = loadPosition(positionPath_, &error);
    ASSERT_TRUE(saved.has_value()) << error;
    EXPECT_EQ(saved->position, positionOf(path_, 12));
}

TEST_P(ReaderTest, RotatedAndTruncatedWhileStoppedReadsTheSavedFileFromItsBeginning) {
    appendText(path_, "a\nb\n");
    std::string error;
    ASSERT_TRUE(savePosition(positionPath_, olderForm(positionOf(path_, 4)), &error));
    ASSERT_EQ(::truncate(path_.c_str(), 0), 0);
    appendText(path_, "c\n");
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    // No file at the path yet: it is read from its beginning once it appears.
    EXPECT_EQ(got_.waitFor(1), (Lines{"c"}));
    appendText(path_, "new 1\n");
    EXPECT_EQ(got_.waitFor(2), (Lines{"c", "new 1"}));
    EXPECT_EQ(reader->stats().truncations, 1u);
}

TEST_P(ReaderTest, SavedFileGoneReadsTheFileAtThePathWholeAndWarns) {
    appendText(path_, "a\nb\n");
    std::string error;
    FilePosition other = positionOf(path_, 1);
    other.device += 1;  // no file beside the path has it
    ASSERT_TRUE(savePosition(positionPath_, olderForm(other), &error));
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    appendText(path_, "c\n");
    EXPECT_EQ(got_.waitFor(3), (Lines{"a", "b", "c"}));
    EXPECT_TRUE(diagnosed(LogReader::Level::Warn, "after offset 1 could not be recovered"));
    settle();
    EXPECT_EQ(got_.lines().size(), 3u);
}

TEST_P(ReaderTest, SavedPositionBeyondTheEndMeansTheFileWasTruncated) {
    appendText(path_, "a\nb\n");
    std::string error;
    ASSERT_TRUE(savePosition(positionPath_, olderForm(positionOf(path_, 1000)), &error));
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    EXPECT_EQ(got_.waitFor(2), (Lines{"a", "b"}));
}

TEST_P(ReaderTest, CorruptPositionFileIsReportedAndIgnored) {
    appendText(path_, "a\n");
    testing::writeFile(positionPath_, "not a position");
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    EXPECT_TRUE(diagnosed(LogReader::Level::Warn, "malformed"));
    appendText(path_, "b\n");
    EXPECT_EQ(got_.waitFor(1), (Lines{"b"}));
}

// A file the program writes itself (its diagnostic log, say) must never be
// followed, at the start or after a rotation: reading it would feed the
// program its own output. The follower waits for another file instead.
TEST_P(ReaderTest, OwnFileAtThePathIsRefusedUntilAnotherFileReplacesIt) {
    const std::string own = dir_.file("own.log");
    appendText(own, "");
    LogReader::Options options;
    options.ownFile = [own](std::uint64_t device, std::uint64_t inode) {
        auto id = fileIdOf(own);
        return id && id->device == device && id->inode == inode ? "the test's own log " + own : std::string();
    };
    auto linkOwnAtPath = [&] {
        ASSERT_EQ(::link(own.c_str(), (path_ + ".own").c_str()), 0);
        ASSERT_EQ(::rename((path_ + ".own").c_str(), path_.c_str()), 0);
    };
    auto refusals = [&] {
        std::lock_guard lock(diagMutex_);
        return std::count_if(diagnostics_.begin(), diagnostics_.end(), [](auto &d) {
            return d.first == LogReader::Level::Error && d.second.find("Not following ") == 0;
        });
    };

    // At the start: nothing of it is read; the next file is read whole.
    linkOwnAtPath();
    {
        auto reader = startReader(options);
        appendText(own, "own 1\n");
        settle();
        appendText(path_ + ".new", "new 1\n");
        ASSERT_EQ(::rename((path_ + ".new").c_str(), path_.c_str()), 0);
        EXPECT_EQ(got_.waitFor(1), (Lines{"new 1"}));
    }
    EXPECT_TRUE(diagnosed(LogReader::Level::Error, "Not following " + path_ + ": it is the test's own log " + own +
                                                       ", which this program writes; waiting for another file at " +
                                                       path_));

    // After a rotation: the old file is read on, the own one never, and the
    // refusal is said once however often the own file changes.
    auto reader = startReader(options);
    appendText(path_, "a\n");
    EXPECT_EQ(got_.waitFor(2).back(), "a");
    linkOwnAtPath();
    for (int i = 0; i < 5; ++i) {
        appendText(own, "own " + std::to_string(i) + "\n");
        settle();
    }
    EXPECT_EQ(refusals(), 2);
    appendText(path_ + ".new", "b\n");
    ASSERT_EQ(::rename((path_ + ".new").c_str(), path_.c_str()), 0);
    EXPECT_EQ(got_.waitFor(3), (Lines{"new 1", "a", "b"}));
    settle();
    EXPECT_EQ(got_.lines().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Backends, ReaderTest,
                         ::testing::Values(LogReader::Backend::Inotify, LogReader::Backend::Polling),
                         [](const auto &info) {
                             return info.param == LogReader::Backend::Polling ? std::string("Polling")
                                                                              : std::string("Inotify");
                         });

TEST(LogReaderStart, RefusesADirectoryAndAnEmptyPath) {
    testing::TempDir dir;
    std::string error;
    LogReader onDir(dir.path(), [](std::string_view) { return true; });
    EXPECT_FALSE(onDir.start(&error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    LogReader empty("", [](std::string_view) { return true; });
    EXPECT_FALSE(empty.start(&error));
    EXPECT_NE(error, "");
    // A stopped follower does not pretend to run again.
    LogReader once(dir.file("log"), [](std::string_view) { return true; });
    ASSERT_TRUE(once.start(&error)) << error;
    once.stop();
    error.clear();
    EXPECT_FALSE(once.start(&error));
    EXPECT_NE(error.find("stopped"), std::string::npos) << error;
}

// A save cut short by a kill leaves its temporary file; the next start
// removes it, and leaves everything else beside the position file alone.
TEST(LogReaderStart, RemovesTemporariesOfInterruptedSavesOnly) {
    testing::TempDir dir;
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);  // a writer that is gone
    const std::string stale = ".position.tmp." + std::to_string(child) + ".5eed5eed";
    testing::writeFile(dir.file(stale), "1 2 3\n");
    testing::writeFile(dir.file("position.Ab12Cd"), "kept\n");
    testing::writeFile(dir.file(".position.bak"), "kept\n");
    std::vector<std::string> messages;
    LogReader::Options options;
    options.positionFile = dir.file("position");
    options.diagnostics = [&](LogReader::Level, const std::string &message) { messages.push_back(message); };
    LogReader reader(
        dir.file("audit.log"), [](std::string_view) { return true; }, options);
    std::string error;
    ASSERT_TRUE(reader.start(&error)) << error;
    reader.stop();
    EXPECT_FALSE(testing::fileExists(dir.file(stale)));
    EXPECT_TRUE(testing::fileExists(dir.file("position.Ab12Cd")));
    EXPECT_TRUE(testing::fileExists(dir.file(".position.bak")));
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "Removed " + stale + ", left beside " + dir.file("position") + " by an interrupted save"),
              messages.end());
}

}  // namespace
}  // namespace vrex
