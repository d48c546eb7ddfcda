// The real daemon when its surroundings fail, in the test sandbox: a full
// disk under the event log holds events back instead of losing them, the
// audit log's directory removed and made again is followed, and a second
// daemon for the same event log refuses to start.
#include "daemon_fixture.h"
#include "full_disk.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

namespace vrex::testing {
namespace {

using namespace std::chrono_literals;

std::size_t occurrences(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Where the input's first container line whose event is not in the output
// starts: the position of the last event written.
std::uint64_t offsetOfFirstMissing(const std::string &input, const std::string &output) {
    std::string ignored;
    const auto written = eventsIn(output, &ignored);
    std::uint64_t offset = 0;
    for (std::size_t end = input.find('\n'); end != std::string::npos; end = input.find('\n', offset)) {
        const std::string line = input.substr(offset, end - offset);
        const std::uint64_t seq = std::stoull(line.substr(line.find(':', line.find("audit(")) + 1));
        if (isContainerSeq(seq) && !written.count(seq))
            return offset;
        offset = end + 1;
    }
    return offset;
}

class DaemonOutageTest : public DaemonTest {
protected:
    std::string logSince(std::size_t start) const { return readOrEmpty(kDiagnosticLog).substr(start); }
};

TEST_F(DaemonOutageTest, FullDiskHoldsEventsBackAndWritesThemInOrderWhenRoomReturns) {
    const std::string small = dir_->file("small");
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    SmallTmpfs tmpfs(small, "64k");
    ASSERT_TRUE(tmpfs.ok()) << tmpfs.error();
    const std::string output = small + "/events.log", filler = small + "/filler";
    appendText(input_, "");
    writeConfig(true, output);
    const std::size_t logStart = readOrEmpty(kDiagnosticLog).size();
    auto daemon = std::make_unique<Daemon>(config_, stderr_);
    ASSERT_TRUE(daemon->start()) << readOrEmpty(stderr_);
    Seqs expected = appendRange(input_, 0, 50);
    ASSERT_TRUE(waitForAll(expected, {output}));

    const std::string warning = "[WARN] Cannot write to " + output +
                                ": No space left on device; holding the events "
                                "back in the audit log";
    fillFileSystem(filler);
    append(expected, appendRange(input_, 50, 250));
    ASSERT_TRUE(waitUntil([&] { return logSince(logStart).find(warning) != std::string::npos; }, 10s));
    std::this_thread::sleep_for(1500ms);  // retries meanwhile
    ASSERT_EQ(::unlink(filler.c_str()), 0);
    EXPECT_TRUE(waitForAll(expected, {output}));
    std::string log = logSince(logStart);
    EXPECT_EQ(occurrences(log, warning), 1u) << log;
    EXPECT_EQ(occurrences(log, "[INFO] Writing to " + output + " works again after "), 1u) << log;
    EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << log;

    // A stop during the outage saves the position of the last event written;
    // the next run, with room again, writes the rest.
    fillFileSystem(filler);
    Seqs held = appendRange(input_, 250, 350);
    append(expected, held);
    ASSERT_TRUE(waitUntil([&] { return occurrences(logSince(logStart), warning) == 2; }, 10s));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    EXPECT_TRUE(daemon->logged("Stopping while " + output + " cannot be written"));
    std::string error;
    auto saved = loadPosition(position_, &error);
    ASSERT_TRUE(saved.has_value()) << error;
    EXPECT_EQ(saved->position.offset, offsetOfFirstMissing(readOrEmpty(input_), readOrEmpty(output)));
    EXPECT_LT(saved->position.offset, readOrEmpty(input_).size()) << "some events must have been held back";
    ASSERT_EQ(::unlink(filler.c_str()), 0);
    ASSERT_TRUE(daemon->start()) << readOrEmpty(stderr_);
    EXPECT_TRUE(waitForAll(expected, {output}));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    expectExactly(expected, {output});
    EXPECT_EQ(eventOrder(readOrEmpty(output)), expected);
}

// rm -rf of the audit log's directory, mkdir and a new audit log: the
// daemon converts the new file (it used to wait for ever on the old one).
TEST_F(DaemonOutageTest, InputDirectoryRemovedAndMadeAgainIsFollowed) {
    const std::string logs = dir_->file("logs");
    ASSERT_EQ(::mkdir(logs.c_str(), 0755), 0);
    input_ = logs + "/audit.log";
    appendText(input_, "");
    auto daemon = startDaemon(true);
    Seqs expected = appendRange(input_, 0, 20);
    ASSERT_TRUE(waitForAll(expected, {output_}));
    for (std::uint64_t round = 1; round <= 2; ++round) {
        std::filesystem::remove_all(logs);
        ASSERT_EQ(::mkdir(logs.c_str(), 0755), 0);
        append(expected, appendRange(input_, round * 100, round * 100 + 20));
        EXPECT_TRUE(waitForAll(expected, {output_}, 15s)) << "round " << round;
    }
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    expectExactly(expected, {output_});
}

// Two daemons on one event log would write every event twice. The second
// says who runs, whatever its input and whether it saves a position.
TEST_F(DaemonOutageTest, SecondInstanceForTheSameEventLogRefusesToStart) {
    appendText(input_, "");
    auto first = startDaemon(true);
    ASSERT_TRUE(first->running());
    const std::string expected = "Cannot start: another instance is running (pid " + std::to_string(first->pid()) + ")";
    const std::string second = dir_->file("second.conf");
    for (const std::string &extra : {"position_file = " + position_ + "\n", std::string()}) {
        writeFile(second, "input_log = " + dir_->file("other-audit.log") + "\noutput_log = " + output_ + "\n" + extra);
        auto r = runProcess({VREX_DAEMON_BINARY, "--config", second});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
    }
    // The first is unharmed, and once it is gone another may start.
    Seqs events = appendRange(input_, 0, 10);
    EXPECT_TRUE(waitForAll(events, {output_}));
    EXPECT_EQ(first->stop(SIGTERM), 0);
    Daemon next(second, stderr_);
    EXPECT_TRUE(next.start()) << readOrEmpty(stderr_);
    EXPECT_EQ(next.stop(SIGTERM), 0);
    expectExactly(events, {output_});
}

}  // namespace
}  // namespace vrex::testing
