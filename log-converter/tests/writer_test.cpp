// The output writer on real files: appending, truncation, rotation, removal,
// missing directories and write errors.
#include "files.h"
#include "log_fixture.h"
#include "log_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace vrex::testing {
namespace {

class WriterTest : public LoggedTest {
protected:
    std::string out() const { return dir_.file("events.log"); }
};

TEST_F(WriterTest, AppendsToWhatTheFileHolds) {
    writeFile(out(), "old\n");
    LogWriter writer(out());
    EXPECT_TRUE(writer.writeLine("one"));
    EXPECT_TRUE(writer.writeLine(""));  // not written, still a success
    EXPECT_TRUE(writer.writeLine("two"));
    EXPECT_EQ(readFile(out()), "old\none\ntwo\n");
    EXPECT_NE(logText().find("[INFO] Opened output file: " + out() + " (mode: a)\n"), std::string::npos);
}

TEST_F(WriterTest, TruncatedFileIsReopenedAndWrittenAtItsNewEnd) {
    LogWriter writer(out());
    ASSERT_TRUE(writer.writeLine("first"));
    ASSERT_TRUE(writer.writeLine("second"));
    ASSERT_EQ(truncate(out().c_str(), 0), 0);
    EXPECT_TRUE(writer.writeLine("third"));
    EXPECT_EQ(readFile(out()), "third\n");
    EXPECT_NE(logText().find("[INFO] Output file truncated, reopening...\n"), std::string::npos);
    // Growth by somebody else is not a truncation.
    std::string log = logText();
    writeFile(dir_.file("tmp"), "");
    {
        FILE *f = fopen(out().c_str(), "a");
        ASSERT_NE(f, nullptr);
        fputs("foreign\n", f);
        fclose(f);
    }
    EXPECT_TRUE(writer.writeLine("fourth"));
    EXPECT_EQ(readFile(out()), "third\nforeign\nfourth\n");
    EXPECT_EQ(logText().find("reopening", log.size()), std::string::npos);
}

TEST_F(WriterTest, RotatedFileIsFollowedAndItsContentKept) {
    LogWriter writer(out());
    ASSERT_TRUE(writer.writeLine("before"));
    ASSERT_EQ(rename(out().c_str(), dir_.file("events.log.1").c_str()), 0);
    writeFile(out(), "already here\n");
    EXPECT_TRUE(writer.writeLine("after"));
    EXPECT_EQ(readFile(dir_.file("events.log.1")), "before\n");
    EXPECT_EQ(readFile(out()), "already here\nafter\n");
    std::string log = logText();
    EXPECT_NE(log.find("[INFO] Output file rotated, reopening...\n"), std::string::npos);
    EXPECT_NE(log.find("(mode: a)", log.find("rotated")), std::string::npos);
}

TEST_F(WriterTest, RemovedFileIsRecreatedAfterAPause) {
    LogWriter writer(out());
    ASSERT_TRUE(writer.writeLine("one"));
    ASSERT_EQ(unlink(out().c_str()), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(writer.writeLine("two"));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(95));
    EXPECT_EQ(readFile(out()), "two\n");
}

TEST_F(WriterTest, MissingDirectoryFailsEveryWrite) {
    std::string path = dir_.file("no-such-dir") + "/events.log";
    CaptureOutput cap;
    LogWriter writer(path);
    EXPECT_FALSE(writer.isOpen());
    EXPECT_FALSE(writer.writeLine("a"));
    EXPECT_FALSE(writer.writeLine("b"));
    EXPECT_EQ(writer.lastError(), "No such file or directory");
    std::string expected = "[ERROR] Failed to open output file: " + path + " - No such file or directory\n";
    std::string log = logText();
    size_t count = 0;
    for (size_t at = log.find(expected); at != std::string::npos; at = log.find(expected, at + 1))
        ++count;
    EXPECT_EQ(count, 3u);  // construction, then one reopen per write
    EXPECT_NE(cap.err().find(expected), std::string::npos);
    EXPECT_FALSE(fileExists(path));
}

TEST_F(WriterTest, WriteErrorIsReportedWithTheSystemMessage) {
    CaptureOutput cap;
    LogWriter writer(kFullDevice);
    ASSERT_TRUE(writer.isOpen());
    EXPECT_FALSE(writer.writeLine("lost"));
    EXPECT_EQ(writer.lastError(), "No space left on device");
    EXPECT_NE(logText().find("[ERROR] Failed to write to file: No space left on device\n"), std::string::npos);
}

TEST_F(WriterTest, OpenWithoutAppendTruncates) {
    writeFile(out(), "old\n");
    LogWriter writer(out());
    ASSERT_TRUE(writer.openFile(false));
    EXPECT_EQ(readFile(out()), "");
    EXPECT_NE(logText().find("(mode: w)\n"), std::string::npos);
    EXPECT_TRUE(writer.writeLine("new"));
    EXPECT_EQ(readFile(out()), "new\n");
}

TEST_F(WriterTest, UncheckedWriterHoldsLinesUntilFlush) {
    writeFile(out(), "old\n");
    LogWriter writer(out(), false);
    ASSERT_TRUE(writer.writeLine("one"));
    ASSERT_TRUE(writer.writeLine("two"));
    EXPECT_EQ(readFile(out()), "old\n");
    EXPECT_TRUE(writer.flush());
    EXPECT_EQ(readFile(out()), "old\none\ntwo\n");
    writer.writeLine("three");
    writer.closeFile();
    EXPECT_EQ(readFile(out()), "old\none\ntwo\nthree\n");
    EXPECT_FALSE(writer.writeLine("closed"));  // no per-line check: a closed writer stays closed

    CaptureOutput cap;
    LogWriter full(kFullDevice, false);
    EXPECT_TRUE(full.writeLine("buffered"));
    EXPECT_FALSE(full.flush());
    EXPECT_EQ(full.lastError(), "No space left on device");
}

TEST_F(WriterTest, WriteCutShortLeavesNoPartOfALine) {
    const std::string before = std::string(90, 'x') + "\n";
    writeFile(out(), before);
    {
        LogWriter writer(out());
        {
            FileSizeLimit limit(100);
            EXPECT_FALSE(writer.writeLine(std::string(20, 'a')));
        }
        EXPECT_EQ(readFile(out()), before);
        EXPECT_TRUE(writer.writeLine("next"));
    }
    EXPECT_EQ(readFile(out()), before + "next\n");

    // Batch writer: lines that reached the file whole stay, the cut one goes.
    const std::string line(99, 'b');
    {
        LogWriter batch(out(), false);
        for (int i = 0; i < 30; ++i)
            ASSERT_TRUE(batch.writeLine(line));
        FileSizeLimit limit(before.size() + 5 + 1050);
        EXPECT_FALSE(batch.flush());
    }
    std::string text = readFile(out());
    ASSERT_GE(text.size(), before.size() + 5);
    EXPECT_EQ(text.substr(0, before.size() + 5), before + "next\n");
    std::string added = text.substr(before.size() + 5);
    EXPECT_EQ(added.size() % 100, 0u) << added.size();
    EXPECT_LE(added.size(), 1050u);
    for (size_t at = 0; at < added.size(); at += 100)
        EXPECT_EQ(added.substr(at, 100), line + "\n");
}

}  // namespace
}  // namespace vrex::testing
