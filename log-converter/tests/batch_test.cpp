// Batch reading: lines cut by the read chunks, huge lines, a last line without
// newline, and the counts of the summary.
#include "batch.h"
#include "log_fixture.h"
#include "log_writer.h"

#include <fcntl.h>
#include <unistd.h>

namespace vrex::testing {
namespace {

std::string record(const std::string &id, const std::string &pad = "") {
    return "type=VREX_AVC msg=audit(1796638780.5:9): avc:  denied  { write } for pid=3 comm=\"a\" name=\"/p\"" + pad +
           " container_id=" + id;
}

std::string rendered(const std::string &id) {
    return "Dec 07 10:19:40,container_id=" + id + ",Event=filectl,path=/p,status=enforcing\n";
}

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
            ok = convertStream(fd, writer, counts, &error);
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

TEST_F(BatchTest, HugeEmptyAndUnterminatedLines) {
    std::string a = id(1), b = id(2), c = id(3), d = id(4);
    std::string text = "\n\n" + record(a, " junk=" + std::string(10 << 20, 'j')) + "\n" +  // 10 MiB record
                       std::string(17 << 20, 'z') + "\n" +                                 // over the limit
                       record(b) + "\n" + record(b) + "\n" +                               // a repeat
                       std::string(40 << 20, 'q') + "\n" +                                 // far over the limit
                       record(c) + "\n" + record(d);                                       // no final newline
    BatchCounts counts;
    std::string output;
    ASSERT_TRUE(run(text, counts, output));
    EXPECT_EQ(output, rendered(a) + rendered(b) + rendered(c) + rendered(d));
    EXPECT_EQ(counts.linesRead, 9u);
    EXPECT_EQ(counts.eventsWritten, 4u);
    EXPECT_EQ(counts.duplicates, 1u);
    EXPECT_EQ(counts.skipped, 4u);  // two empty, two overlong
    EXPECT_NE(logText().find("[WARN] Skipping line 4: longer than 16777216 bytes\n"), std::string::npos);
    EXPECT_NE(logText().find("[WARN] Skipping line 7: longer than 16777216 bytes\n"), std::string::npos);
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
}

TEST_F(BatchTest, WriteFailureStopsWithTheReason) {
    writeFile(dir_.file("in.log"), record(id(1)) + "\n");
    int fd = open(dir_.file("in.log").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    CaptureOutput quiet;
    LogWriter writer("/dev/full", false);
    BatchCounts counts;
    std::string error;
    EXPECT_FALSE(convertStream(fd, writer, counts, &error));
    close(fd);
    EXPECT_EQ(error, "cannot write /dev/full: No space left on device");
}

}  // namespace
}  // namespace vrex::testing
