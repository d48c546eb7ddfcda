// The follower's promises across crashes: no position is saved before the
// output is durable, a line its consumer cannot take is kept for the next
// run, the consumer's replay state travels with the position, a saved
// position is trusted only for the content it was taken in, and a directory
// removed and made again is followed.
#include "files.h"
#include "reader_fixture.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <filesystem>

namespace vrex {
namespace {

// The saved offset, or 0 when there is no position file (yet).
std::uint64_t savedOffset(const std::string &path) {
    std::string error;
    auto saved = loadPosition(path, &error);
    return saved ? saved->position.offset : 0;
}

SavedPosition fingerprinted(const std::string &path, FilePosition position) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    SavedPosition saved{position, ContentFingerprint{}, std::nullopt};
    EXPECT_TRUE(takeFingerprint(fd.get(), position.offset, &*saved.fingerprint));
    return saved;
}

using DurabilityTest = ReaderTest;

// A position on the disk says the lines before it are done; after a power
// loss the output must hold their events. So each save first makes the
// output durable, and a failed sync keeps the older position.
TEST_P(DurabilityTest, OutputIsSyncedBeforeEverySavedPosition) {
    appendText(path_, "");
    constexpr std::size_t kLine = 8;  // "line NN\n"
    std::mutex mutex;
    std::uint64_t delivered = 0, durable = 0;
    int syncs = 0;
    std::vector<std::string> violations;
    takeLine_ = [&](std::string_view line) {
        std::lock_guard lock(mutex);
        delivered += line.size() + 1;
        got_.add(line);
        return true;
    };
    LogReader::Options options;
    options.positionFile = positionPath_;
    options.makeDurable = [&](std::string *error) {
        std::lock_guard lock(mutex);
        // Whatever the file says now was saved after the previous sync.
        if (std::uint64_t saved = savedOffset(positionPath_); saved > durable)
            violations.push_back("position " + std::to_string(saved) + " saved with only " + std::to_string(durable) +
                                 " bytes durable");
        if (++syncs == 2 || syncs == 3) {
            *error = "injected failure";
            return false;
        }
        durable = delivered;
        return true;
    };
    auto reader = startReader(options);
    for (int batch = 0; batch < 6; ++batch) {
        std::string text;
        for (int i = 0; i < 5; ++i)
            text += "line " + std::to_string(10 + batch * 5 + i) + "\n";
        appendText(path_, text);
        got_.waitFor(static_cast<std::size_t>(batch + 1) * 5);
        std::this_thread::sleep_for(250ms);  // more than the save interval
    }
    reader->stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(violations, std::vector<std::string>{});
    EXPECT_GE(syncs, 5);
    EXPECT_LE(savedOffset(positionPath_), durable);
    EXPECT_EQ(savedOffset(positionPath_), 30 * kLine) << "the last save, at the stop, covers every line";
    EXPECT_TRUE(diagnosed(LogReader::Level::Error, "Cannot save the position: the event log could not be synced: "
                                                   "injected failure"));
    EXPECT_TRUE(diagnosed(LogReader::Level::Info, "Saving the position works again"));
}

// The consumer gives up on a line only when the follower stops (its output
// could not be written until then): the position stays before that line,
// and the next run hands it on first.
TEST_P(DurabilityTest, LineTheConsumerCannotTakeIsReadAgainByTheNextRun) {
    for (std::size_t maxRead : {kMaxReadBytes, std::size_t{3}}) {
        SCOPED_TRACE("reads of " + std::to_string(maxRead) + " bytes");
        std::filesystem::remove(path_);
        std::filesystem::remove(positionPath_);
        got_.clear();
        maxRead_ = maxRead;  // 3: each line ends in a read after the one it began in
        appendText(path_, "");
        LogReader *running = nullptr;
        std::atomic<bool> reached{false};
        takeLine_ = [&](std::string_view line) {
            if (line != "second") {
                got_.add(line);
                return true;
            }
            reached = true;
            while (running->pause(10ms)) {}
            return false;
        };
        LogReader::Options options;
        options.positionFile = positionPath_;
        auto reader = startReader(options);
        running = reader.get();
        appendText(path_, "first\nsecond\nthird\n");
        ASSERT_TRUE(testing::waitUntil([&] { return reached.load(); }, 5s));
        reader->stop();
        EXPECT_EQ(got_.lines(), (Lines{"first"}));
        EXPECT_EQ(savedOffset(positionPath_), 6u) << "the position of the last line taken";
        EXPECT_EQ(reader->stats().linesRead, 1u);
        takeLine_ = nullptr;
        reader = startReader(options);
        EXPECT_EQ(got_.waitFor(3), (Lines{"first", "second", "third"}));
    }
}

// What the consumer needs to replay is saved with each position, handed
// back at the next start before any line, and dropped at a clean stop.
TEST_P(DurabilityTest, ReplayStateTravelsWithThePosition) {
    appendText(path_, "a\nb\n");
    ReplayState state;
    state.output = {7, 8, 9};
    state.cache.key[0] = 0x42;
    state.cache.digests = {{1, 2}, {3, 4}};
    SavedPosition saved = fingerprinted(path_, positionOf(path_, 2));
    saved.replay = state;
    std::string error;
    ASSERT_TRUE(savePosition(positionPath_, saved, &error)) << error;

    std::optional<ReplayState> resumed;
    std::size_t linesAtResume = 99;
    std::atomic<int> finalCalls{0};
    LogReader::Options options;
    options.positionFile = positionPath_;
    options.resume = [&](const ReplayState &s) {
        resumed = s;
        linesAtResume = got_.lines().size();
    };
    options.checkpoint = [&](bool final) -> std::optional<ReplayState> {
        if (final) {
            ++finalCalls;
            return std::nullopt;
        }
        ReplayState now;
        now.output = {1, 2, got_.lines().size()};
        return now;
    };
    auto reader = startReader(options);
    ASSERT_TRUE(resumed.has_value());
    EXPECT_EQ(*resumed, state);
    EXPECT_EQ(linesAtResume, 0u);
    EXPECT_EQ(got_.waitFor(1), (Lines{"b"}));
    appendText(path_, "c\n");
    got_.waitFor(2);
    std::optional<SavedPosition> running;
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            running = loadPosition(positionPath_, &error);
            return running && running->position.offset == 6;
        },
        5s));
    ASSERT_TRUE(running->replay.has_value());
    EXPECT_EQ(running->replay->output, (OutputMark{1, 2, 2}));
    reader->stop();
    EXPECT_EQ(finalCalls.load(), 1);
    auto stopped = loadPosition(positionPath_, &error);
    ASSERT_TRUE(stopped.has_value()) << error;
    EXPECT_EQ(stopped->position.offset, 6u);
    EXPECT_FALSE(stopped->replay.has_value()) << "a clean stop leaves nothing to replay";

    // Not trusted (other content), or the older form: nothing is handed back.
    resumed.reset();
    testing::writeFile(path_, "new content\n");
    saved = fingerprinted(path_, positionOf(path_, 12));
    saved.fingerprint->tail.low ^= 1;
    saved.replay = state;
    ASSERT_TRUE(savePosition(positionPath_, saved, &error));
    reader = startReader(options);
    EXPECT_FALSE(resumed.has_value());
    reader->stop();
    ASSERT_TRUE(savePosition(positionPath_, olderForm(positionOf(path_, 12)), &error));
    reader = startReader(options);
    EXPECT_FALSE(resumed.has_value());
}

TEST_P(DurabilityTest, FileThatLostItsTailResumesAtItsEndWithAWarning) {
    appendText(path_, "first line\nsecond line\nthird line\n");
    std::string error;
    ASSERT_TRUE(savePosition(positionPath_, fingerprinted(path_, positionOf(path_, 34)), &error));
    // Its writer crashed and lost the last line; then wrote on.
    ASSERT_EQ(::truncate(path_.c_str(), 23), 0);
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    appendText(path_, "fourth\n");
    EXPECT_EQ(got_.waitFor(1), (Lines{"fourth"}));
    EXPECT_TRUE(diagnosed(LogReader::Level::Warn, path_ + " is shorter than the saved position (offset 34) but "
                                                          "begins as it did: its writer lost its end; following it "
                                                          "from its end (offset 23)"));
    settle();
    EXPECT_EQ(got_.lines().size(), 1u);
}

// A rotated file found beside the path by its device and inode is trusted
// only with its content: copied and truncated before it was renamed, it
// holds new lines from its beginning.
TEST_P(DurabilityTest, RotatedFileWithOtherContentIsReadFromItsBeginning) {
    appendText(path_, "old 1\nold 2\n");
    std::string error;
    ASSERT_TRUE(savePosition(positionPath_, fingerprinted(path_, positionOf(path_, 12)), &error));
    ASSERT_EQ(::truncate(path_.c_str(), 0), 0);
    appendText(path_, "new 1\nnew 2\nnew 3\n");
    ASSERT_EQ(::rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    appendText(path_, "next 1\n");
    LogReader::Options options;
    options.positionFile = positionPath_;
    auto reader = startReader(options);
    EXPECT_EQ(got_.waitFor(4), (Lines{"new 1", "new 2", "new 3", "next 1"}));
    EXPECT_TRUE(diagnosed(LogReader::Level::Info, "Following " + path_ +
                                                      ".1 from its beginning: its first line is "
                                                      "not the one the position was saved with"));
}

// rm -rf of the input's directory, mkdir, a new input file: the follower
// moves on to it (it used to wait for ever on the deleted file).
TEST_P(DurabilityTest, InputDirectoryRemovedAndMadeAgainIsFollowed) {
    const std::string logs = dir_.file("logs");
    ASSERT_EQ(::mkdir(logs.c_str(), 0755), 0);
    path_ = logs + "/audit.log";
    appendText(path_, "");
    auto reader = startReader();
    appendText(path_, "before\n");
    ASSERT_EQ(got_.waitFor(1), (Lines{"before"}));
    for (int round = 0; round < 3; ++round) {
        std::filesystem::remove_all(logs);
        ASSERT_EQ(::mkdir(logs.c_str(), 0755), 0);
        appendText(path_, "after " + std::to_string(round) + "\n");
        EXPECT_EQ(got_.waitFor(static_cast<std::size_t>(round) + 2, 10s).back(), "after " + std::to_string(round));
    }
    appendText(path_, "later\n");
    EXPECT_EQ(got_.waitFor(5).back(), "later");
}

INSTANTIATE_TEST_SUITE_P(Backends, DurabilityTest,
                         ::testing::Values(LogReader::Backend::Inotify, LogReader::Backend::Polling), backendName);

}  // namespace
}  // namespace vrex
