// LineSplitter: lines cut correctly whatever the chunking, tails kept (and
// handed on at the end of a batch input), and over-long lines dropped exactly
// once each.
#include "line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vrex {
namespace {

struct Collected {
    std::vector<std::string> lines;
    int drops = 0;
};

Collected feedInChunks(LineSplitter &splitter, const std::string &text, std::size_t chunk) {
    Collected c;
    for (std::size_t at = 0; at < text.size(); at += chunk)
        splitter.feed(
            std::string_view(text).substr(at, chunk), [&](std::string_view l) { c.lines.emplace_back(l); },
            [&] { ++c.drops; });
    return c;
}

TEST(LineSplitter, SameLinesWhateverTheChunkSize) {
    const std::string text = "alpha\nbeta\n\ngamma delta\nlast";
    const std::vector<std::string> expected = {"alpha", "beta", "", "gamma delta"};
    for (std::size_t chunk = 1; chunk <= text.size(); ++chunk) {
        LineSplitter splitter(100);
        auto c = feedInChunks(splitter, text, chunk);
        EXPECT_EQ(c.lines, expected) << "chunk " << chunk;
        EXPECT_EQ(splitter.pending(), 4u) << "the unterminated \"last\" is held";
        EXPECT_EQ(c.drops, 0);
    }
}

TEST(LineSplitter, LineOverTheLimitIsDroppedOnceAndFollowingLinesSurvive) {
    const std::string longLine(25, 'x');
    const std::string text = "ok1\n" + longLine + "\nok2\n" + std::string(10, 'y') + "\n";
    for (std::size_t chunk : {1u, 3u, 7u, 64u}) {
        LineSplitter splitter(10);
        auto c = feedInChunks(splitter, text, chunk);
        EXPECT_EQ(c.lines, (std::vector<std::string>{"ok1", "ok2", std::string(10, 'y')})) << "chunk " << chunk;
        EXPECT_EQ(c.drops, 1) << "chunk " << chunk;
        EXPECT_EQ(splitter.pending(), 0u);
    }
}

TEST(LineSplitter, PendingCountsBytesOfALineBeingSkipped) {
    LineSplitter splitter(4);
    int drops = 0;
    auto noLine = [](std::string_view) { ADD_FAILURE() << "no line expected"; };
    splitter.feed("abcdefgh", noLine, [&] { ++drops; });
    splitter.feed("ij", noLine, [&] { ++drops; });
    EXPECT_EQ(drops, 1);
    EXPECT_EQ(splitter.pending(), 10u);
    splitter.reset();
    EXPECT_EQ(splitter.pending(), 0u);
    std::vector<std::string> lines;
    splitter.feed(
        "ab\n", [&](std::string_view l) { lines.emplace_back(l); }, [&] { ++drops; });
    EXPECT_EQ(lines, std::vector<std::string>{"ab"}) << "reset ends the skipping";
}

TEST(LineSplitter, SkipToNextLineIgnoresTheRestOfTheCurrentLineUncounted) {
    LineSplitter splitter(100);
    splitter.skipToNextLine();
    std::vector<std::string> lines;
    int drops = 0;
    splitter.feed(
        "half a line\nwhole\n", [&](std::string_view l) { lines.emplace_back(l); }, [&] { ++drops; });
    EXPECT_EQ(lines, std::vector<std::string>{"whole"});
    EXPECT_EQ(drops, 0);
}

TEST(LineSplitter, FinishHandsOnTheUnterminatedTailUnlessItWasDropped) {
    for (std::size_t chunk : {1u, 4u, 100u}) {
        LineSplitter splitter(10);
        auto c = feedInChunks(splitter, "one\ntwo", chunk);
        splitter.finish([&](std::string_view l) { c.lines.emplace_back(l); });
        EXPECT_EQ(c.lines, (std::vector<std::string>{"one", "two"})) << "chunk " << chunk;
        EXPECT_EQ(splitter.pending(), 0u);

        // A tail over the limit was dropped when it passed it: not handed on.
        auto d = feedInChunks(splitter, "ok\n" + std::string(11, 'x'), chunk);
        splitter.finish([&](std::string_view l) { d.lines.emplace_back(l); });
        EXPECT_EQ(d.lines, std::vector<std::string>{"ok"}) << "chunk " << chunk;
        EXPECT_EQ(d.drops, 1);
        // A tail of exactly the limit is a line.
        auto e = feedInChunks(splitter, std::string(10, 'y'), chunk);
        splitter.finish([&](std::string_view l) { e.lines.emplace_back(l); });
        EXPECT_EQ(e.lines, std::vector<std::string>{std::string(10, 'y')}) << "chunk " << chunk;
    }
    // Nothing pending: no line, not even an empty one.
    LineSplitter splitter(10);
    int lines = 0;
    splitter.feed(
        "a\n", [&](std::string_view) { ++lines; }, [] {});
    splitter.finish([&](std::string_view) { ++lines; });
    EXPECT_EQ(lines, 1);
}

TEST(LineSplitter, WarningNamesTheLimitAndTheSource) {
    EXPECT_EQ(overlongLineWarning(10485760, "/var/log/vrex_audit.log"),
              "Dropping a line longer than 10485760 bytes in /var/log/vrex_audit.log");
    EXPECT_EQ(kMaxLineBytes, 10485760u);
}

}  // namespace
}  // namespace vrex
