// The diagnostic logger: what reaches the file, standard output and standard
// error, in which format, in each state.
#include "logger.h"
#include "test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vrex::testing {
namespace {

const std::string kStampRe = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { logger.closeFile(); }
    void TearDown() override { logger.closeFile(); }
    Logger &logger = Logger::getInstance();
    TempDir dir;
};

TEST_F(LoggerTest, BeforeInitEntriesGoToStandardErrorWithoutTimestamp) {
    logger.setDebugMode(true);
    CaptureOutput cap;
    logger.log(Logger::INFO, "hello");
    logger.log(Logger::DEBUG, "trace");
    logger.log(Logger::ERROR, "bad");
    logger.setDebugMode(false);  // not initialised: no line anywhere
    logger.log(Logger::DEBUG, "dropped");
    EXPECT_EQ(cap.err(), "[INFO] hello\n[DEBUG] trace\n[ERROR] bad\n");
    EXPECT_EQ(cap.out(), "");
}

TEST_F(LoggerTest, InitCreatesMissingDirectoriesAndTheFileWithoutAShell) {
    // Characters a shell would act on are part of the name.
    std::string path = dir.path() + "/a b/c;touch x/$(id)/diag.log";
    {
        CaptureOutput cap;
        logger.init(path, false);
        EXPECT_EQ(cap.out(), "SUCCESS: Created and opened log file: " + path + "\n");
        EXPECT_EQ(cap.err(), "");
    }
    EXPECT_FALSE(fileExists("x"));
    std::string text = readFile(path);
    EXPECT_TRUE(std::regex_match(text, std::regex(kStampRe + R"(\[INFO\] Logger initialized\n)" + kStampRe +
                                                  R"(\[INFO\] Log file: .*diag\.log\n)" + kStampRe +
                                                  R"(\[INFO\] Debug mode: disabled\n)")))
        << text;
    EXPECT_NE(text.find("Log file: " + path + "\n"), std::string::npos);

    logger.closeFile();
    CaptureOutput cap;
    logger.init(path, true);
    EXPECT_EQ(cap.out(), "SUCCESS: Opened existing log file: " + path + "\n");
    text = readFile(path);
    EXPECT_NE(text.find("Logger initialized"), text.rfind("Logger initialized"));  // appended, not replaced
    EXPECT_NE(text.find("[INFO] Debug mode: enabled\n"), std::string::npos);
}

TEST_F(LoggerTest, UnopenableFileReportsTheErrorAndEntriesStillReachStandardError) {
    writeFile(dir.file("plain"), "x");
    std::string path = dir.file("plain") + "/diag.log";
    CaptureOutput cap;
    logger.init(path, false);
    logger.log(Logger::INFO, "still here");
    logger.log(Logger::ERROR, "and this");
    logger.setDebugMode(true);
    std::string err = cap.err();
    std::string out = cap.out();
    EXPECT_TRUE(std::regex_match(
        err, std::regex("ERROR: Cannot open log file: .*/plain/diag\\.log \\(errno: 20 - Not a directory\\)\n" +
                        kStampRe + R"(\[INFO\] still here \[LOG_FILE_CLOSED\]\n)" + kStampRe +
                        R"(\[ERROR\] and this \[LOG_FILE_CLOSED\]\n)")))
        << err;
    EXPECT_TRUE(std::regex_match(out, std::regex(kStampRe + R"(\[INFO\] Debug mode changed to: enabled\n)"))) << out;
}

TEST_F(LoggerTest, LevelsReachTheirChannels) {
    std::string path = dir.file("diag.log");
    {
        CaptureOutput quiet;
        logger.init(path, false);
    }
    size_t header = readFile(path).size();
    CaptureOutput cap;
    logger.log(Logger::DEBUG, "invisible");
    logger.log(Logger::INFO, "info text");
    logger.log(Logger::WARN, "warn text");
    logger.log(Logger::ERROR, "error text");
    logger.setDebugMode(true);
    logger.log(Logger::DEBUG, "visible");
    std::string err = cap.err();
    EXPECT_EQ(cap.out(), "");
    std::string body = readFile(path).substr(header);
    EXPECT_TRUE(std::regex_match(body, std::regex(kStampRe + R"(\[INFO\] info text\n)" + kStampRe +
                                                  R"(\[WARN\] warn text\n)" + kStampRe + R"(\[ERROR\] error text\n)" +
                                                  kStampRe + R"(\[INFO\] Debug mode changed to: enabled\n)" + kStampRe +
                                                  R"(\[DEBUG\] visible\n)")))
        << body;
    // The ERROR entry on standard error is the same entry as in the file.
    size_t at = body.find("[ERROR] error text\n");
    ASSERT_GE(at, 26u);
    EXPECT_EQ(err, body.substr(at - 26, 26 + 19));
}

TEST_F(LoggerTest, ClosedLoggerFallsBackToStandardError) {
    std::string path = dir.file("diag.log");
    {
        CaptureOutput quiet;
        logger.init(path, false);
    }
    logger.closeFile();
    std::string before = readFile(path);
    CaptureOutput cap;
    logger.log(Logger::WARN, "after close");
    EXPECT_EQ(cap.err(), "[WARN] after close\n");
    EXPECT_EQ(readFile(path), before);
}

TEST_F(LoggerTest, ReopenFollowsTheFileAfterRotation) {
    std::string path = dir.file("diag.log");
    {
        CaptureOutput quiet;
        logger.init(path, false);
    }
    logger.log(Logger::INFO, "before rotation");
    ASSERT_EQ(rename(path.c_str(), dir.file("diag.log.1").c_str()), 0);
    ASSERT_TRUE(logger.reopen());
    logger.log(Logger::INFO, "after rotation");
    EXPECT_NE(readFile(dir.file("diag.log.1")).find("before rotation"), std::string::npos);
    std::string fresh = readFile(path);
    EXPECT_EQ(fresh.find("before rotation"), std::string::npos);
    EXPECT_NE(fresh.find("[INFO] after rotation\n"), std::string::npos);

    // A reopen that fails leaves entries on standard error.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
    bool reopened = logger.reopen();
    chmod(dir.path().c_str(), 0700);
    if (geteuid() != 0) {  // root writes anyway
        EXPECT_FALSE(reopened);
        CaptureOutput cap;
        logger.log(Logger::INFO, "nowhere");
        EXPECT_NE(cap.err().find("[INFO] nowhere [LOG_FILE_CLOSED]\n"), std::string::npos);
    }
}

// The main thread and the monitor thread log at the same time, while DEBUG
// entries are being dropped: every entry must still be one whole line.
TEST_F(LoggerTest, ConcurrentEntriesStayWhole) {
    std::string path = dir.file("diag.log");
    {
        CaptureOutput quiet;
        logger.init(path, false);
    }
    size_t header = readFile(path).size();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i)
                logger.log(Logger::WARN, "thread " + std::to_string(t) + " entry " + std::to_string(i) + " " +
                                             std::string(200, 'a' + t));
        });
    std::thread dropped([&] {
        for (int i = 0; i < 200; ++i)
            logger.log(Logger::DEBUG, "maybe");
    });
    for (auto &th : threads)
        th.join();
    dropped.join();
    std::istringstream body(readFile(path).substr(header));
    std::regex entry(kStampRe + R"(\[WARN\] thread (\d) entry \d+ ([a-d]){200})");
    std::string line;
    int count = 0;
    while (std::getline(body, line)) {
        ASSERT_TRUE(std::regex_match(line, entry)) << line.substr(0, 80);
        ++count;
    }
    EXPECT_EQ(count, 2000);
}

TEST_F(LoggerTest, NamesAndTimestampFormat) {
    EXPECT_EQ(Logger::levelToString(Logger::DEBUG), "DEBUG");
    EXPECT_EQ(Logger::levelToString(Logger::INFO), "INFO");
    EXPECT_EQ(Logger::levelToString(Logger::WARN), "WARN");
    EXPECT_EQ(Logger::levelToString(Logger::ERROR), "ERROR");
    EXPECT_EQ(Logger::levelToString(static_cast<Logger::Level>(7)), "UNKNOWN");
    EXPECT_EQ(Logger::levelToString(static_cast<Logger::Level>(-1)), "UNKNOWN");
    std::string stamp = Logger::getCurrentTimestamp();
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})"))) << stamp;
}

}  // namespace
}  // namespace vrex::testing
