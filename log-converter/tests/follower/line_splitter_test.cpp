// LineSplitter: lines cut correctly whatever the chunking, tails kept, and
// over-long lines dropped exactly once each.
#include "log_reader.h"

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

}  // namespace
}  // namespace vrex
