// The daemon's end-to-end fixture, shared by its sandbox suites: the real
// daemon at its real paths, fed sequence-numbered audit lines, its event log
// compared line for line with what must come out.
#pragma once

#include "audit_lines.h"
#include "daemon_harness.h"
#include "files.h"
#include "position.h"
#include "test_util.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vrex::testing {

using namespace std::chrono_literals;
using Seqs = std::vector<std::uint64_t>;

// Lines with seq % 7 == 3 are not container records and must not show up.
inline bool isContainerSeq(std::uint64_t seq) { return seq % 7 != 3; }
inline std::string auditLine(std::uint64_t seq) {
    return (isContainerSeq(seq) ? containerLine(seq) : noiseLine(seq)) + "\n";
}

inline std::string describeDifference(const Seqs &expected, const std::map<std::uint64_t, int> &seen,
                                      bool allowRepeats) {
    std::string out;
    int missing = 0, repeated = 0, extra = 0;
    std::set<std::uint64_t> want(expected.begin(), expected.end());
    for (auto seq : want) {
        auto it = seen.find(seq);
        if (it == seen.end()) {
            if (missing++ < 5)
                out += "missing " + std::to_string(seq) + "\n";
        } else if (it->second > 1 && !allowRepeats) {
            if (repeated++ < 5)
                out += std::to_string(seq) + " written " + std::to_string(it->second) + " times\n";
        }
    }
    for (auto &[seq, n] : seen)
        if (!want.count(seq) && extra++ < 5)
            out += "unexpected " + std::to_string(seq) + "\n";
    if (missing + repeated + extra)
        out += std::to_string(missing) + " missing, " + std::to_string(repeated) + " repeated, " +
               std::to_string(extra) + " unexpected";
    return out;
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        dir_ = std::make_unique<TempDir>();
        input_ = dir_->file("audit.log");
        output_ = dir_->file("events.log");
        position_ = dir_->file("state/position");
        config_ = dir_->file("converter.conf");
        stderr_ = dir_->file("daemon.err");
    }

    void writeConfig(bool withPosition, const std::string &output = "") {
        std::string text = "# test configuration\ninput_log = " + input_ +
                           "\noutput_log = " + (output.empty() ? output_ : output) + "\ndebug = false\n";
        if (withPosition)
            text += "position_file = " + position_ + "\n";
        writeFile(config_, text);
    }

    std::unique_ptr<Daemon> startDaemon(bool withPosition = false) {
        writeConfig(withPosition);
        auto daemon = std::make_unique<Daemon>(config_, stderr_);
        EXPECT_TRUE(daemon->start()) << readOrEmpty(stderr_);
        return daemon;
    }

    // Events from all the given files together.
    std::map<std::uint64_t, int> events(const std::vector<std::string> &files, std::string *problems) {
        std::map<std::uint64_t, int> all;
        for (auto &f : files)
            for (auto &[seq, n] : eventsIn(readOrEmpty(f), problems))
                all[seq] += n;
        return all;
    }

    // Waits until every expected event is in the files (repeats aside).
    ::testing::AssertionResult waitForAll(const Seqs &expected, const std::vector<std::string> &files,
                                          std::chrono::milliseconds limit = 30s) {
        std::set<std::uint64_t> want(expected.begin(), expected.end());
        std::map<std::uint64_t, int> seen;
        bool ok = waitUntil(
            [&] {
                std::string ignored;
                seen = events(files, &ignored);
                return std::all_of(want.begin(), want.end(), [&](auto s) { return seen.count(s) > 0; });
            },
            limit);
        if (ok)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "events still missing after " << limit.count() << " ms:\n"
                                             << describeDifference(expected, seen, true);
    }

    // Waits for every expected event, stops the daemon with SIGTERM (which
    // must give status 0) and checks that each event came out exactly once.
    void stopAndExpectExactly(Daemon &daemon, const Seqs &expected, const std::vector<std::string> &files,
                              std::chrono::milliseconds limit = 30s) {
        EXPECT_TRUE(waitForAll(expected, files, limit));
        EXPECT_EQ(daemon.stop(SIGTERM), 0);
        expectExactly(expected, files);
    }

    void expectExactly(const Seqs &expected, const std::vector<std::string> &files) {
        std::string problems;
        auto seen = events(files, &problems);
        EXPECT_EQ(problems, "");
        EXPECT_EQ(describeDifference(expected, seen, false), "");
    }

    // Appends lines first..last-1 in one write; returns the container ones.
    Seqs appendRange(const std::string &path, std::uint64_t first, std::uint64_t last) {
        std::string text;
        Seqs expected;
        for (auto seq = first; seq < last; ++seq) {
            text += auditLine(seq);
            if (isContainerSeq(seq))
                expected.push_back(seq);
        }
        appendText(path, text);
        return expected;
    }

    std::unique_ptr<TempDir> dir_;
    std::string input_, output_, position_, config_, stderr_;
};

inline FilePosition positionOf(const std::string &path, std::uint64_t offset) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), offset};
}

// The sequence numbers of the event lines in text, in file order.
inline Seqs eventOrder(const std::string &text) {
    Seqs order;
    for (std::size_t at = text.find("path=/data/f"); at != std::string::npos; at = text.find("path=/data/f", at + 1))
        order.push_back(std::strtoull(text.c_str() + at + 12, nullptr, 10));
    return order;
}

inline void append(Seqs &to, const Seqs &more) { to.insert(to.end(), more.begin(), more.end()); }

// Waits until the saved position covers all of the file at path, so that a
// kill loses nothing the position does not know about and repeats nothing.
inline ::testing::AssertionResult positionCovers(const std::string &position, const std::string &path) {
    std::optional<SavedPosition> saved;
    struct stat st {};
    bool ok = waitUntil(
        [&] {
            std::string error;
            saved = loadPosition(position, &error);
            return saved && ::stat(path.c_str(), &st) == 0 &&
                   saved->position.inode == static_cast<std::uint64_t>(st.st_ino) &&
                   saved->position.offset == static_cast<std::uint64_t>(st.st_size);
        },
        10s);
    if (ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "saved position " << (saved ? formatPosition(*saved) : "none\n")
                                         << "does not cover " << path;
}

}  // namespace vrex::testing
