// The daemon never follows one of its own logs: at the start it refuses,
// after a rotation it waits for another file. Reading its diagnostic log, it
// would copy each line that causes an ERROR back into the file it reads.
#include "daemon_harness.h"
#include "files.h"
#include "test_util.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace vrex::testing {
namespace {

using namespace std::chrono_literals;

// A record whose status word the converter reports as an ERROR, copying the
// whole line into the diagnostic log.
const std::string kGranted = "type=VREX_AVC msg=audit(1796638782.200:1009): avc:  granted  { write } for  pid=4121 "
                             "comm=\"bash\" name=\"/etc/hosts\" tclass=file container_id=" +
                             std::string(64, 'a') + "\n";
const std::string kDenied = "type=VREX_AVC msg=audit(1796638782.300:1010): avc:  denied  { write } for  pid=4121 "
                            "comm=\"bash\" name=\"/etc/hosts\" tclass=file container_id=" +
                            std::string(64, 'b') + "\n";

class OwnLogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        dir_ = std::make_unique<TempDir>();
        output_ = dir_->file("events.log");
        config_ = dir_->file("converter.conf");
        stderr_ = dir_->file("daemon.err");
    }
    void writeConfig(const std::string &input, const std::string &output) {
        writeFile(config_, "input_log = " + input + "\noutput_log = " + output + "\n");
    }
    // Runs the daemon expecting it not to start; a daemon that does start is
    // stopped after a while.
    ProcessResult runRefused() { return runProcess({"timeout", "10", VREX_DAEMON_BINARY, "--config", config_}); }

    std::unique_ptr<TempDir> dir_;
    std::string output_, config_, stderr_;
};

TEST_F(OwnLogsTest, CannotStartOnItsDiagnosticOrOutputLog) {
    writeConfig(kDiagnosticLog, output_);
    auto r = runRefused();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Cannot start: input_log " + kDiagnosticLog + " is the diagnostic log " + kDiagnosticLog),
              std::string::npos)
        << r.err.substr(0, 500);

    writeConfig(output_, output_);
    r = runRefused();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Cannot start: input_log " + output_ + " is the output log " + output_), std::string::npos)
        << r.err.substr(0, 500);

    // A link to the output log, made before the output log itself exists.
    std::filesystem::remove(output_);
    const std::string link = dir_->file("audit-link.log");
    std::filesystem::create_symlink(output_, link);
    writeConfig(link, output_);
    r = runRefused();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Cannot start: input_log " + link + " is the output log " + output_), std::string::npos)
        << r.err.substr(0, 500);
}

TEST_F(OwnLogsTest, RotationOntoItsOwnLogIsRefusedAndTheNextFileFollowed) {
    const std::string input = dir_->file("audit.log");
    appendText(input, "");
    writeConfig(input, output_);
    Daemon daemon(config_, stderr_);
    ASSERT_TRUE(daemon.start()) << readOrEmpty(stderr_);

    // The audit log's name now leads to the diagnostic log, which holds a
    // line that makes an ERROR. Followed, it would grow without end.
    const std::string staged = dir_->file("staged");
    std::filesystem::create_symlink(kDiagnosticLog, staged);
    const auto size = std::filesystem::file_size(kDiagnosticLog);
    ASSERT_EQ(::rename(staged.c_str(), input.c_str()), 0);
    appendText(kDiagnosticLog, kGranted);
    std::this_thread::sleep_for(2s);
    appendText(kDiagnosticLog, kGranted);
    std::this_thread::sleep_for(500ms);
    ASSERT_LT(std::filesystem::file_size(kDiagnosticLog), size + 2 * kGranted.size() + 4096)
        << "the daemon reads its own diagnostic log";
    EXPECT_TRUE(daemon.logged("[ERROR] Not following " + input + ": it is the diagnostic log " + kDiagnosticLog +
                              ", which this program writes; waiting for another file at " + input));

    // Another file at the name is followed from its beginning.
    appendText(staged, kDenied);
    ASSERT_EQ(::rename(staged.c_str(), input.c_str()), 0);
    EXPECT_TRUE(waitUntil([&] { return readOrEmpty(output_).find(std::string(64, 'b')) != std::string::npos; }, 10s));
    EXPECT_EQ(readOrEmpty(output_).find(std::string(64, 'a')), std::string::npos);
    EXPECT_EQ(daemon.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace vrex::testing
