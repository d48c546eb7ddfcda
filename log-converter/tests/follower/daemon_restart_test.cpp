// The real daemon across crashes and restarts, in the test sandbox: SIGKILL
// at random moments writes every event exactly once and in order, a replay
// decides repeated keys as the killed run did and rewrites nothing the event
// log holds, and the audit log's identity is more than its inode. (The event
// log rotated, gone, truncated or cut mid-line while stopped is covered by
// the replay's own tests.)
#include "daemon_fixture.h"
#include "sys_util.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

namespace vrex::testing {
namespace {

using namespace std::chrono_literals;

// The sum of N over the diagnostic log's "N events were already in the
// output log" (one per replay).
std::uint64_t eventsFoundAlreadyWritten() {
    static const std::regex done("Replay after the unclean stop done: ([0-9]+) events were already");
    std::uint64_t total = 0;
    const std::string log = readOrEmpty(kDiagnosticLog);
    for (std::sregex_iterator it(log.begin(), log.end(), done), end; it != end; ++it)
        total += std::stoull((*it)[1]);
    return total;
}

class DaemonRestartTest : public DaemonTest {
protected:
    // Every expected event once, in input order, in the files' order.
    void expectExactlyInOrder(const Seqs &expected, const std::vector<std::string> &files) {
        expectExactly(expected, files);
        Seqs order;
        for (const auto &f : files)
            for (auto seq : eventOrder(readOrEmpty(f)))
                order.push_back(seq);
        EXPECT_EQ(order, expected);
    }

    // Runs the daemon over 100 lines, keeps the position saved then, lets
    // it take 100 more, kills it and puts the older position back: a kill
    // right after a save, before the next one, with 100 lines' events in
    // the output beyond the saved position. Returns the lines' expected
    // events (before, after the position).
    std::pair<Seqs, Seqs> killBeforeTheNextSave() {
        appendText(input_, "");
        auto daemon = startDaemon(true);
        Seqs before = appendRange(input_, 0, 100);
        EXPECT_TRUE(waitForAll(before, {output_}));
        EXPECT_TRUE(positionCovers(position_, input_));
        const std::string older = readOrEmpty(position_);
        Seqs after = appendRange(input_, 100, 200);
        EXPECT_TRUE(waitForAll(after, {output_}));
        EXPECT_TRUE(positionCovers(position_, input_));
        daemon->kill9();
        writeFile(position_, older);
        EXPECT_TRUE(daemon->start()) << readOrEmpty(stderr_);
        Seqs later = appendRange(input_, 200, 220);
        append(after, later);
        daemon_ = std::move(daemon);
        return {before, after};
    }

    std::unique_ptr<Daemon> daemon_;
};

// ---------------------------------------------------------- SIGKILL

TEST_F(DaemonRestartTest, SigkillAtFiftyRandomMomentsWritesEveryEventExactlyOnceInOrder) {
    appendText(input_, "");
    auto daemon = startDaemon(true);
    std::atomic<bool> stop{false};
    std::mutex mutex;
    Seqs expected;
    std::thread writer([&] {
        int fd = openAppend(input_);
        for (std::uint64_t seq = 0; !stop; ++seq) {
            writeAllTo(fd, auditLine(seq));
            if (isContainerSeq(seq)) {
                std::lock_guard lock(mutex);
                expected.push_back(seq);
            }
            if (seq % 4 == 0)
                std::this_thread::sleep_for(1ms);
        }
        ::close(fd);
    });
    std::mt19937 random(20261209);
    constexpr int kKills = 50;
    for (int kill = 0; kill < kKills; ++kill) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<>(20, 400)(random)));
        daemon->kill9();
        // Lines keep arriving while no daemon runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<>(0, 100)(random)));
        ASSERT_TRUE(daemon->start()) << "restart " << kill << ": " << readOrEmpty(stderr_);
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(waitForAll(expected, {output_}, 60s));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    expectExactlyInOrder(expected, {output_});
    const std::uint64_t found = eventsFoundAlreadyWritten();
    std::printf("%d kills, %zu events, %llu of them found already written after a restart\n", kKills, expected.size(),
                static_cast<unsigned long long>(found));
    EXPECT_GT(found, 0u) << "no kill fell between a write and the next save: the replay was never tried";
    // A kill during a save leaves its temporary file; the next start
    // removes it, so after the last clean stop only the position is left.
    EXPECT_EQ(directoryEntries(dir_->file("state")), std::vector<std::string>{"position"});
}

// Three records of one key (container, path, second) in a row: only the
// first is an event. A restart between them must decide the others as the
// killed run did, as repeats, which takes the duplicate cache saved with
// the position. The events of the three differ, so a wrong decision shows.
TEST_F(DaemonRestartTest, SigkillBetweenRepeatsOfAKeyDecidesThemAsBefore) {
    appendText(input_, "");
    auto daemon = startDaemon(true);
    // Fewer keys than the cache holds, so that it never empties itself.
    constexpr int kGroups = 900;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        int fd = openAppend(input_);
        for (int g = 0; g < kGroups; ++g) {
            const std::string name = "\"/data/f" + std::to_string(g) + "\"";
            for (const auto &[op, word] :
                 {std::pair{"write", "denied"}, {"write", "detected"}, {"execute", "denied"}}) {
                writeAllTo(fd, avcLine(kContainerId, op, name, word) + "\n");
                std::this_thread::sleep_for(1ms);
            }
        }
        ::close(fd);
        done = true;
    });
    std::mt19937 random(7);
    int kills = 0;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<>(100, 500)(random)));
        daemon->kill9();
        ++kills;
        ASSERT_TRUE(daemon->start()) << readOrEmpty(stderr_);
    }
    writer.join();
    Seqs expected;
    for (int g = 0; g < kGroups; ++g)
        expected.push_back(static_cast<std::uint64_t>(g));
    EXPECT_TRUE(waitForAll(expected, {output_}, 60s));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    expectExactlyInOrder(expected, {output_});
    EXPECT_GE(kills, 5);
    std::printf("%d kills over %d groups of three repeats\n", kills, kGroups);
}

// ------------------------------------ the event log while stopped

TEST_F(DaemonRestartTest, KilledBeforeTheNextSaveRewritesNothingTheOutputHolds) {
    auto [before, after] = killBeforeTheNextSave();
    Seqs all = before;
    append(all, after);
    EXPECT_TRUE(waitForAll(all, {output_}));
    EXPECT_EQ(daemon_->stop(SIGTERM), 0);
    expectExactlyInOrder(all, {output_});
    std::size_t held = 0;
    for (std::uint64_t seq = 100; seq < 200; ++seq)
        held += isContainerSeq(seq);
    EXPECT_TRUE(daemon_->logged("Replay after the unclean stop done: " + std::to_string(held) +
                                " events were already in the output log"));
}

// -------------------------------- the audit log's identity and content

// copytruncate while stopped keeps the inode and replaces the content: the
// new content is read from its beginning, whether it ends before or after
// the saved offset.
TEST_F(DaemonRestartTest, CopytruncateWhileStoppedReadsTheNewContentWhole) {
    for (std::uint64_t newLines : {20u, 300u}) {
        SCOPED_TRACE(std::to_string(newLines) + " new lines");
        TearDown();
        SetUp();
        appendText(input_, "");
        auto daemon = startDaemon(true);
        Seqs expected = appendRange(input_, 0, 100);
        ASSERT_TRUE(waitForAll(expected, {output_}));
        ASSERT_TRUE(positionCovers(position_, input_));
        EXPECT_EQ(daemon->stop(SIGTERM), 0);
        writeFile(input_ + ".1", readOrEmpty(input_));
        ASSERT_EQ(::truncate(input_.c_str(), 0), 0);
        append(expected, appendRange(input_, 1000, 1000 + newLines));
        ASSERT_TRUE(daemon->start()) << readOrEmpty(stderr_);
        append(expected, appendRange(input_, 5000, 5010));
        EXPECT_TRUE(waitForAll(expected, {output_}));
        EXPECT_EQ(daemon->stop(SIGTERM), 0);
        expectExactlyInOrder(expected, {output_});
        EXPECT_TRUE(daemon->logged("Following " + input_ + " from its beginning: "));
    }
}

// A deleted file's inode reused by the new one: staged by a position that
// names the new file's device and inode with another file's fingerprint.
TEST_F(DaemonRestartTest, ReusedInodeWithOtherContentIsReadFromItsBeginning) {
    const std::string other = dir_->file("other.log");
    appendRange(other, 0, 200);
    std::string error;
    UniqueFd otherFd(::open(other.c_str(), O_RDONLY | O_CLOEXEC));
    const std::uint64_t offset = readOrEmpty(other).size() / 2;
    ContentFingerprint fingerprint;
    ASSERT_TRUE(takeFingerprint(otherFd.get(), offset, &fingerprint));
    Seqs expected = appendRange(input_, 1000, 1300);
    const SavedPosition staged{positionOf(input_, offset), fingerprint, std::nullopt};
    ASSERT_LT(offset, readOrEmpty(input_).size()) << "the old daemon would resume inside the new content";
    ASSERT_EQ(::mkdir(dir_->file("state").c_str(), 0755), 0);
    ASSERT_TRUE(savePosition(position_, staged, &error)) << error;
    auto daemon = startDaemon(true);
    EXPECT_TRUE(waitForAll(expected, {output_}));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    expectExactlyInOrder(expected, {output_});
    EXPECT_TRUE(daemon->logged("Following " + input_ + " from its beginning: its first line is not the one"));
}

TEST_F(DaemonRestartTest, PositionInTheOlderFormStillResumes) {
    appendRange(input_, 0, 100);
    const std::uint64_t offset = readOrEmpty(input_).size();
    Seqs expected = appendRange(input_, 100, 160);
    ASSERT_EQ(::mkdir(dir_->file("state").c_str(), 0755), 0);
    const FilePosition at = positionOf(input_, offset);
    writeFile(position_,
              std::to_string(at.device) + " " + std::to_string(at.inode) + " " + std::to_string(offset) + "\n");
    auto daemon = startDaemon(true);
    append(expected, appendRange(input_, 160, 170));
    EXPECT_TRUE(waitForAll(expected, {output_}));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    expectExactlyInOrder(expected, {output_});
    EXPECT_TRUE(daemon->logged("Following " + input_ + " from the saved position (offset " + std::to_string(offset)));
    std::string error;
    auto saved = loadPosition(position_, &error);
    ASSERT_TRUE(saved.has_value()) << error;
    EXPECT_TRUE(saved->fingerprint.has_value()) << "saved again in the current form";
}

TEST_F(DaemonRestartTest, DamagedPositionFileIsIgnoredWithAWarning) {
    appendText(input_, "");
    auto daemon = startDaemon(true);
    appendRange(input_, 0, 50);
    ASSERT_TRUE(positionCovers(position_, input_));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    std::string text = readOrEmpty(position_);
    text[text.find("input ") + 6] ^= 1;  // one bit of the device number
    writeFile(position_, text);
    appendRange(input_, 50, 60);  // unknown to the damaged position
    ASSERT_TRUE(daemon->start()) << readOrEmpty(stderr_);
    EXPECT_TRUE(daemon->logged("[WARN] Ignoring the saved position: malformed position file " + position_ +
                               " (damaged, or not written by this program)"));
    Seqs later = appendRange(input_, 60, 70);
    EXPECT_TRUE(waitForAll(later, {output_}));
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    EXPECT_EQ(eventsIn(readOrEmpty(output_), &text).count(55), 0u) << "started at the end, as without a position";
}

}  // namespace
}  // namespace vrex::testing
