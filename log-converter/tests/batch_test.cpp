// Batch reading: lines cut by the read chunks, huge lines, a last line without
// newline, and the counts of the summary.
#include "audit_lines.h"
#include "batch.h"
#include "files.h"
#include "log_fixture.h"
#include "log_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace vrex::testing {
namespace {

std::string record(const std::string &id, const std::string &pad = "") { return avcLine(id, "write", "\"/p\"" + pad); }

std::string rendered(const std::string &id) { return eventLine(id, "filectl", "/p") + "\n"; }

class BatchTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        Logger::getInstance().setDebugMode(false);
    }
    // Runs the input text through convertStream into a fresh output file.
    bool run(const std::string &text, BatchCounts &counts, std::string &output) {
        std::string in = dir_.file("in.log");
        std::string out = dir_.file("out" + std::to_string(++runs_) + ".log");
        writeFile(in, text);
        int fd = open(in.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        bool ok;
        {
            LogWriter writer(out, false);
            std::string error;
            ok = convertStream(fd, in, writer, counts, &error);
        }
        close(fd);
        output = readFile(out);
        return ok;
    }
    // An id no other run uses, so that no line is a repeat of an earlier test's.
    std::string id(int n) { return "b" + std::to_string(runs_) + "_" + std::to_string(n) + "_" + tag_; }
    std::string tag_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    int runs_ = 0;
};

TEST_F(BatchTest, LinesAcrossReadChunksAreWhole) {
    // About 12 MiB of lines of varying length, so that several chunk borders
    // fall inside lines.
    std::string text, expected;
    uint64_t containers = 0, others = 0;
    for (int n = 0; text.size() < (12u << 20); ++n) {
        if (n % 3 == 0) {
            text += "type=SYSCALL msg=audit(1796638780.5:9): arch=c000003e " + std::string(n % 1500, 's') + "\n";
            ++others;
        } else {
            std::string i = id(n);
            text += record(i, std::string(n % 700, ' ')) + "\n";
            expected += rendered(i);
            ++containers;
        }
    }
    BatchCounts counts;
    std::string output;
    ASSERT_TRUE(run(text, counts, output));
    EXPECT_EQ(counts.linesRead, containers + others);
    EXPECT_EQ(counts.eventsWritten, containers);
    EXPECT_EQ(counts.skipped, others);
    EXPECT_EQ(counts.duplicates, 0u);
    EXPECT_TRUE(output == expected) << "output differs (" << output.size() << " vs " << expected.size() << " bytes)";
}

// A record padded to exactly length bytes.
std::string recordOfLength(const std::string &id, std::size_t length) {
    std::string line = record(id, " junk=");
    return record(id, " junk=" + std::string(length - line.size(), 'j'));
}

TEST_F(BatchTest, HugeEmptyAndUnterminatedLines) {
    std::string a = id(1), b = id(2), c = id(3), d = id(4), e = id(5);
    std::string text = "\n\n" + recordOfLength(a, kLineLimit) + "\n" +  // at the daemon's limit
                       recordOfLength(e, kLineLimit + 1) + "\n" +       // one byte over it
                       std::string(17 << 20, 'z') + "\n" +              // over the limit
                       record(b) + "\n" + record(b) + "\n" +            // a repeat
                       std::string(40 << 20, 'q') + "\n" +              // far over the limit
                       record(c) + "\n" + record(d);                    // no final newline
    BatchCounts counts;
    std::string output;
    ASSERT_TRUE(run(text, counts, output));
    EXPECT_EQ(output, rendered(a) + rendered(b) + rendered(c) + rendered(d));
    EXPECT_EQ(counts.linesRead, 10u);
    EXPECT_EQ(counts.eventsWritten, 4u);
    EXPECT_EQ(counts.duplicates, 1u);
    EXPECT_EQ(counts.skipped, 5u);  // two empty, three overlong
    // The daemon's warning, once per dropped line, naming the input.
    const std::string warning = "[WARN] Dropping a line longer than 10485760 bytes in " + dir_.file("in.log") + "\n";
    std::string log = logText();
    std::size_t warnings = 0;
    for (auto at = log.find(warning); at != std::string::npos; at = log.find(warning, at + 1))
        ++warnings;
    EXPECT_EQ(warnings, 3u) << log.substr(0, 2000);
}

TEST_F(BatchTest, OverlongLastLineAndEmptyInput) {
    BatchCounts counts;
    std::string output;
    ASSERT_TRUE(run(std::string(20 << 20, 'x'), counts, output));
    EXPECT_EQ(counts.linesRead, 1u);
    EXPECT_EQ(counts.skipped, 1u);
    BatchCounts none;
    ASSERT_TRUE(run("", none, output));
    EXPECT_EQ(none.linesRead, 0u);
    EXPECT_EQ(output, "");
    // An unterminated last record one byte over the limit is dropped, one
    // at the limit converted.
    BatchCounts over;
    ASSERT_TRUE(run(recordOfLength(id(1), kLineLimit + 1), over, output));
    EXPECT_EQ(output, "");
    EXPECT_EQ(over.linesRead, 1u);
    EXPECT_EQ(over.skipped, 1u);
    BatchCounts at;
    std::string a = id(2);
    ASSERT_TRUE(run(recordOfLength(a, kLineLimit), at, output));
    EXPECT_EQ(output, rendered(a));
    EXPECT_EQ(at.eventsWritten, 1u);
}

TEST_F(BatchTest, WriteFailureStopsWithTheReason) {
    writeFile(dir_.file("in.log"), record(id(1)) + "\n");
    int fd = open(dir_.file("in.log").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    CaptureOutput quiet;
    LogWriter writer(kFullDevice, false);
    BatchCounts counts;
    std::string error;
    EXPECT_FALSE(convertStream(fd, dir_.file("in.log"), writer, counts, &error));
    close(fd);
    EXPECT_EQ(error, "cannot write /dev/full: No space left on device");
}

TEST_F(BatchTest, WriteCutShortStopsAtTheFailingLine) {
    std::string text;
    for (int n = 0; n < 30000; ++n)
        text += record(id(n)) + "\n";
    writeFile(dir_.file("in.log"), text);
    int fd = open(dir_.file("in.log").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    BatchCounts counts;
    std::string error;
    {
        CaptureOutput quiet;
        FileSizeLimit limit(100 << 10);
        LogWriter writer(dir_.file("out.log"), false);
        EXPECT_FALSE(convertStream(fd, dir_.file("in.log"), writer, counts, &error));
    }
    close(fd);
    EXPECT_EQ(error, "cannot write " + dir_.file("out.log") + ": File too large");
    std::string output = readFile(dir_.file("out.log"));
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(output.back(), '\n') << "part of a line left in the output";
    EXPECT_LE(output.size(), 100u << 10);
    // The summary counts the events that are in the file, not those handed
    // to the writer; nothing after the failing line was read.
    const auto inFile = static_cast<uint64_t>(std::count(output.begin(), output.end(), '\n'));
    EXPECT_EQ(counts.eventsWritten, inFile);
    EXPECT_GE(counts.linesRead, counts.eventsWritten + 1);
    EXPECT_LT(counts.linesRead, 30000u);
}

}  // namespace
}  // namespace vrex::testing
