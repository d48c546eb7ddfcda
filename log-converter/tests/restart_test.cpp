// The pieces a restart after a crash relies on: the duplicate cache carried
// over, the comparison with what the output already holds, the sink that
// replays and then starts afresh, the writer's sync and cut, the wait
// through a failing output, and the one-instance lock.
#include "audit_lines.h"
#include "event_sink.h"
#include "files.h"
#include "instance_lock.h"
#include "log_fixture.h"
#include "output_replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

namespace vrex::testing {
namespace {

using namespace std::chrono_literals;

std::string pathLine(int n) { return avcLine(kContainerId, "write", "\"/data/p" + std::to_string(n) + "\""); }
std::string pathEvent(int n) { return eventLine(kContainerId, "filectl", "/data/p" + std::to_string(n)); }

OutputMark markOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size)};
}

class RestartTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        converter().startAfresh();
    }
    static LogConverter &converter() { return LogConverter::getInstance(); }
    // The converter's verdict on a line: its event, or "" when nothing.
    static std::string decide(const std::string &line) {
        return converter().convertToOutputFormat(converter().parseLine(line));
    }
    std::string out() const { return dir_.file("events.log"); }
};

// ------------------------------------------------------- duplicate cache

// Restored, the cache decides every later line as it did, across the point
// where it empties itself at its limit.
TEST_F(RestartTest, RestoredCacheDecidesLaterLinesExactlyAsBefore) {
    std::mt19937 random(1234);
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i)
        lines.push_back(pathLine(std::uniform_int_distribution<>(0, 1400)(random)));
    for (int i = 0; i < 1200; ++i)
        decide(lines[static_cast<std::size_t>(i)]);
    const DuplicateCacheState saved = converter().cacheState();
    std::vector<std::string> first, again, afresh;
    for (std::size_t i = 1200; i < lines.size(); ++i)
        first.push_back(decide(lines[i]));
    ASSERT_TRUE(converter().restoreCache(saved));
    for (std::size_t i = 1200; i < lines.size(); ++i)
        again.push_back(decide(lines[i]));
    EXPECT_EQ(again, first);
    converter().startAfresh();
    for (std::size_t i = 1200; i < lines.size(); ++i)
        afresh.push_back(decide(lines[i]));
    EXPECT_NE(afresh, first) << "an empty cache decides otherwise, or the test proves nothing";
    EXPECT_NE(converter().cacheState().key, saved.key) << "a fresh start draws a new key";
}

TEST_F(RestartTest, ImpossibleCacheIsRefusedAndTheCurrentOneKept) {
    decide(pathLine(1));
    DuplicateCacheState bad = converter().cacheState();
    ASSERT_EQ(bad.digests.size(), 1u);
    bad.digests.push_back(bad.digests[0]);
    EXPECT_FALSE(converter().restoreCache(bad));
    DuplicateCacheState tooMany = bad;
    tooMany.digests.clear();
    for (std::uint64_t i = 1; i <= kDuplicateCacheLimit + 1; ++i)
        tooMany.digests.push_back({i, i});
    EXPECT_FALSE(converter().restoreCache(tooMany));
    EXPECT_EQ(decide(pathLine(1)), "") << "the cache in place still holds the key";
}

// ------------------------------------------------------ output replay

TEST_F(RestartTest, ReplayFindsEachEventWhereTheOutputHoldsIt) {
    writeFile(out(), "A\nB\nC\n");
    OutputMark mark = markOf(out());
    mark.size = 2;
    OutputReplay replay;
    EXPECT_NE(replay.begin(mark, out()).find("after offset 2 are not written again"), std::string::npos);
    EXPECT_EQ(replay.compare("B"), OutputReplay::Match::Held);
    OutputMark now;
    ASSERT_TRUE(replay.mark(&now));
    EXPECT_EQ(now.size, 4u);
    EXPECT_FALSE(replay.exhausted());
    EXPECT_EQ(replay.compare("C"), OutputReplay::Match::Held);
    EXPECT_TRUE(replay.exhausted());
    EXPECT_EQ(replay.compare("D"), OutputReplay::Match::NotHeld);
    EXPECT_EQ(replay.heldEvents(), 2u);

    // Other bytes than the event (a prefix of it, a longer line) are not it.
    for (const char *event : {"", "B2", "BB"}) {
        replay.begin(mark, out());
        EXPECT_EQ(replay.compare(event), OutputReplay::Match::NotHeld) << event;
    }
}

TEST_F(RestartTest, ReplayRecognisesAnEventCutShortAtTheEnd) {
    writeFile(out(), "A\nB\nCC");
    OutputMark mark = markOf(out());
    mark.size = 2;
    OutputReplay replay;
    replay.begin(mark, out());
    EXPECT_EQ(replay.compare("B"), OutputReplay::Match::Held);
    EXPECT_EQ(replay.compare("CCC"), OutputReplay::Match::Fragment);
    EXPECT_EQ(replay.fragmentMark().size, 4u);
    replay.begin(mark, out());
    replay.compare("B");
    EXPECT_EQ(replay.compare("CD"), OutputReplay::Match::NotHeld) << "not the start of this event";
}

TEST_F(RestartTest, ReplayGoesOnInTheRotatedFileThenTheNewOne) {
    writeFile(out(), "A\nB\n");
    OutputMark mark = markOf(out());
    mark.size = 2;
    ASSERT_EQ(::rename(out().c_str(), (out() + ".1").c_str()), 0);
    writeFile(out(), "C\n");
    OutputReplay replay;
    const std::string found = replay.begin(mark, out());
    EXPECT_NE(found.find(out() + ".1 after offset 2"), std::string::npos) << found;
    EXPECT_EQ(replay.compare("B"), OutputReplay::Match::Held);
    EXPECT_EQ(replay.compare("C"), OutputReplay::Match::Held);
    OutputMark now;
    ASSERT_TRUE(replay.mark(&now));
    EXPECT_EQ(now, (OutputMark{markOf(out()).device, markOf(out()).inode, 2}));
    EXPECT_EQ(replay.compare("D"), OutputReplay::Match::NotHeld);
}

// Rotated out of reach or truncated while stopped: nothing is taken as
// written, so every event is written again rather than lost.
TEST_F(RestartTest, ReplayHoldsNothingWhenTheOutputWasTruncatedOrIsGone) {
    writeFile(out(), "A\nB\n");
    OutputMark mark = markOf(out());
    OutputReplay replay;
    mark.size = 2;
    ASSERT_EQ(::truncate(out().c_str(), 1), 0);
    EXPECT_NE(replay.begin(mark, out()).find("shorter"), std::string::npos);
    EXPECT_EQ(replay.compare("B"), OutputReplay::Match::NotHeld);
    // Moved out of the directory (compressed, say): another file at the
    // name, even one holding the same bytes, is not where the events went.
    ASSERT_EQ(::mkdir(dir_.file("old").c_str(), 0755), 0);
    ASSERT_EQ(::rename(out().c_str(), dir_.file("old/events.log").c_str()), 0);
    writeFile(out(), "A\nB\n");
    EXPECT_NE(replay.begin(mark, out()).find("gone"), std::string::npos);
    EXPECT_EQ(replay.compare("B"), OutputReplay::Match::NotHeld);
    // A FIFO at the name is no output to compare with, and does not block.
    ASSERT_EQ(::unlink(out().c_str()), 0);
    ASSERT_EQ(::mkfifo(out().c_str(), 0600), 0);
    EXPECT_NE(replay.begin(mark, out()).find("gone"), std::string::npos);
}

// ---------------------------------------------------------- event sink

class SinkTest : public RestartTest {
protected:
    // A run of the daemon's sink over lines, writing to out(); returns the
    // checkpoint taken after the first `checkpointAfter` lines.
    std::optional<ReplayState> run(const std::vector<std::string> &lines, std::size_t checkpointAfter = 0) {
        LogWriter writer(out());
        EventSink sink(writer, out());
        std::optional<ReplayState> state;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i == checkpointAfter)
                state = sink.checkpoint(false);
            EXPECT_TRUE(sink.take(lines[i]));
        }
        return state;
    }
};

// The crashed run took L1, L2, a repeat of L1 and L3, and saved its state
// after L1. The restart decides the repeat as it did (a repeat), finds E2
// and E3 in the output, writes L4's event, and from there starts afresh: a
// later repeat of L1 is written again, as after any restart.
TEST_F(SinkTest, ReplaySkipsWhatTheOutputHoldsThenStartsAfresh) {
    const std::vector<std::string> crashed = {pathLine(1), pathLine(2), pathLine(1), pathLine(3)};
    std::optional<ReplayState> saved = run(crashed, 1);
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->output.size, pathEvent(1).size() + 1);
    EXPECT_EQ(saved->cache.digests.size(), 1u);

    converter().startAfresh();  // a new process
    LogWriter writer(out());
    EventSink sink(writer, out());
    sink.resume(*saved);
    for (const std::string &line : {pathLine(2), pathLine(1), pathLine(3), pathLine(4), pathLine(1)})
        EXPECT_TRUE(sink.take(line));
    EXPECT_EQ(readFile(out()), pathEvent(1) + "\n" + pathEvent(2) + "\n" + pathEvent(3) + "\n" + pathEvent(4) + "\n" +
                                   pathEvent(1) + "\n");
    EXPECT_EQ(sink.counters().alreadyWritten.load(), 2u);
    EXPECT_EQ(sink.counters().written.load(), 2u);
    EXPECT_NE(logText().find("Replay after the unclean stop done: 2 events were already in the output log"),
              std::string::npos);
}

TEST_F(SinkTest, CleanStopSavesNoReplayUnlessTheOutputStillHoldsMore) {
    std::optional<ReplayState> saved = run({pathLine(1), pathLine(2)}, 0);
    ASSERT_TRUE(saved.has_value());
    converter().startAfresh();
    LogWriter writer(out());
    EventSink sink(writer, out());
    EXPECT_FALSE(sink.checkpoint(true).has_value()) << "no replay under way";
    auto running = sink.checkpoint(false);
    ASSERT_TRUE(running.has_value());
    EXPECT_EQ(running->output, markOf(out()));

    sink.resume(*saved);
    auto stopped = sink.checkpoint(true);
    ASSERT_TRUE(stopped.has_value()) << "the output holds events of lines after the position";
    EXPECT_EQ(stopped->output.size, 0u);
    EXPECT_TRUE(sink.take(pathLine(1)));
    EXPECT_TRUE(sink.take(pathLine(2)));
    auto mid = sink.checkpoint(false);
    ASSERT_TRUE(mid.has_value());
    EXPECT_EQ(mid->output, markOf(out())) << "the replay's place: the end of what it found";
    EXPECT_FALSE(sink.checkpoint(true).has_value()) << "everything the output holds was found";
}

TEST_F(SinkTest, EventTheCrashCutShortIsWrittenWhole) {
    std::optional<ReplayState> saved = run({pathLine(1), pathLine(2)}, 1);
    ASSERT_TRUE(saved.has_value());
    appendText(out(), pathEvent(3).substr(0, 20));  // killed while writing E3
    converter().startAfresh();
    LogWriter writer(out());
    EventSink sink(writer, out());
    sink.resume(*saved);
    EXPECT_TRUE(sink.take(pathLine(2)));
    EXPECT_TRUE(sink.take(pathLine(3)));
    EXPECT_EQ(readFile(out()), pathEvent(1) + "\n" + pathEvent(2) + "\n" + pathEvent(3) + "\n");
    EXPECT_NE(logText().find("Cut off the unfinished last line of " + out()), std::string::npos);
}

// An event that cannot be written is retried, after pauses that grow to a
// cap, until it is written: one WARN when the failures start, one INFO when
// they end, no ERROR per attempt. A stop meanwhile gives the line back.
TEST_F(SinkTest, FailingOutputIsWaitedOutWithGrowingPauses) {
    const std::string dir = dir_.file("gone"), path = dir + "/events.log";
    LogWriter writer(path);
    writer.setFailureReports(false);
    const std::size_t logStart = logText().size();
    EventSink sink(writer, path);
    std::vector<long> pauses;
    sink.setPause([&](std::chrono::milliseconds pause) {
        pauses.push_back(static_cast<long>(pause.count()));
        if (pauses.size() == 7) {
            EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0);  // room again
        }
        return true;
    });
    EXPECT_TRUE(sink.take(pathLine(1)));
    EXPECT_EQ(pauses, (std::vector<long>{50, 100, 200, 400, 800, 1600, 2000}));
    EXPECT_EQ(readFile(path), pathEvent(1) + "\n");
    const std::string log = logText().substr(logStart);
    EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << log;
    EXPECT_NE(log.find("[WARN] Cannot write to " + path + ": No such file or directory; holding the events back"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[INFO] Writing to " + path + " works again after "), std::string::npos) << log;

    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::rmdir(dir.c_str()), 0);
    pauses.clear();
    sink.setPause([&](std::chrono::milliseconds pause) {
        pauses.push_back(static_cast<long>(pause.count()));
        return pauses.size() < 2;  // the daemon is asked to stop
    });
    EXPECT_FALSE(sink.take(pathLine(2)));
    EXPECT_EQ(pauses.size(), 2u);
    EXPECT_NE(logText().find("Stopping while " + path + " cannot be written"), std::string::npos);
    EXPECT_EQ(sink.counters().written.load(), 1u);
}

// ------------------------------------------------------------- writer

TEST_F(RestartTest, WriterSyncsCutsAndKeepsQuietWhenAsked) {
    LogWriter writer(out());
    ASSERT_TRUE(writer.writeLine("one"));
    std::string error;
    EXPECT_TRUE(writer.sync(&error)) << error;
    std::uint64_t device = 0, inode = 0, size = 0;
    ASSERT_TRUE(writer.currentFile(&device, &inode, &size));
    EXPECT_EQ((OutputMark{device, inode, size}), markOf(out()));

    EXPECT_FALSE(writer.truncateTo(device, inode + 1, 2)) << "another file";
    EXPECT_EQ(readFile(out()), "one\n");
    ASSERT_TRUE(writer.truncateTo(device, inode, 2));
    const std::size_t logged = logText().size();
    ASSERT_TRUE(writer.writeLine("two"));
    EXPECT_EQ(readFile(out()), "ontwo\n");
    EXPECT_EQ(logText().find("reopening", logged), std::string::npos) << "the cut is no truncation by another";

    LogWriter nullDevice("/dev/null");
    EXPECT_TRUE(nullDevice.sync(&error)) << "nothing to sync is no failure: " << error;

    LogWriter missing(dir_.file("missing/events.log"));
    missing.setFailureReports(false);
    const std::size_t before = logText().size();
    EXPECT_FALSE(missing.writeLine("x"));
    EXPECT_EQ(logText().find("[ERROR]", before), std::string::npos);
    EXPECT_EQ(missing.lastError(), "No such file or directory");
}

// --------------------------------------------------------------- lock

TEST_F(RestartTest, OneInstanceHoldsTheLockAndNamesItself) {
    const std::string path = instanceLockPath(out());
    EXPECT_EQ(path, out() + ".lock");
    pid_t holder = -1;
    std::string error;
    {
        InstanceLock first;
        ASSERT_EQ(first.take(path, &holder, &error), InstanceLock::Result::Taken) << error;
        EXPECT_EQ(readFile(path), std::to_string(::getpid()) + "\n");
        InstanceLock second;
        EXPECT_EQ(second.take(path, &holder, &error), InstanceLock::Result::HeldByAnother);
        EXPECT_EQ(holder, ::getpid());
    }
    InstanceLock after;
    EXPECT_EQ(after.take(path, &holder, &error), InstanceLock::Result::Taken) << "released with its holder";

    const std::string link = dir_.file("link.lock");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    InstanceLock viaLink;
    EXPECT_EQ(viaLink.take(link, &holder, &error), InstanceLock::Result::Failed) << "a link is not followed";
    EXPECT_NE(error.find(link), std::string::npos) << error;
}

}  // namespace
}  // namespace vrex::testing
