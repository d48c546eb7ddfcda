// The built program in batch mode, at its real paths inside the sandbox.
#include "files.h"
#include "test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace vrex::testing {
namespace {

const std::string kBinary = VREX_CONVERTER_BINARY;
const std::string kSample = std::string(VREX_CONVERTER_DATA) + "/sample_audit.log";
const std::string kExpected = std::string(VREX_CONVERTER_DATA) + "/sample_expected.log";

class BatchE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        VREX_REQUIRE_SANDBOX();
        std::filesystem::remove(kEventLog);
        std::filesystem::remove(kDiagnosticLog);
        std::filesystem::remove_all("/etc/vrex");
    }
    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), kBinary);
        return runProcess(args, "", {"TZ=UTC"});
    }
};

TEST_F(BatchE2eTest, SampleLogBecomesTheExpectedEventLog) {
    auto r = run({"--convert", kSample});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(kEventLog), readFile(kExpected));
    // Standard output is left to the events (--output /dev/stdout).
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("SUCCESS: Created and opened log file: " + kDiagnosticLog + "\n", 0), 0u) << r.err;
    // The one unexpected status word of the sample is an ERROR, echoed on
    // standard error; the summary is the last line.
    std::string summary =
        "vrex-log-converter: " + kSample + ": 27 lines read, 11 events written, 3 duplicates, 13 skipped\n";
    ASSERT_GE(r.err.size(), summary.size());
    EXPECT_EQ(r.err.substr(r.err.size() - summary.size()), summary);
    EXPECT_NE(r.err.find("[ERROR] Unexpected status word (neither denied nor detect): granted in line: "),
              std::string::npos);
    std::string diag = readFile(kDiagnosticLog);
    EXPECT_NE(diag.find("[INFO] Logger initialized\n"), std::string::npos);
    EXPECT_NE(diag.find("[INFO] Debug mode: disabled\n"), std::string::npos);
    EXPECT_NE(diag.find("[INFO] Debug mode changed to: disabled\n"), std::string::npos);
    EXPECT_NE(diag.find("[INFO] Opened output file: " + kEventLog + " (mode: a)\n"), std::string::npos);
    EXPECT_EQ(diag.find("[DEBUG]"), std::string::npos);

    // A second run appends; every line is new to the new process.
    r = run({"--convert", kSample});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(kEventLog), readFile(kExpected) + readFile(kExpected));
    EXPECT_EQ(r.err.rfind("SUCCESS: Opened existing log file: " + kDiagnosticLog + "\n", 0), 0u) << r.err;
}

TEST_F(BatchE2eTest, ConfigurationChoosesOutputAndDebug) {
    std::filesystem::create_directories("/etc/vrex");
    writeFile(kConfigFile, "# test\noutput_log = /var/log/custom events.log\ndebug = true\ncolour = blue\n");
    auto r = run({"--convert", kSample});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile("/var/log/custom events.log"), readFile(kExpected));
    EXPECT_FALSE(fileExists(kEventLog));
    std::string diag = readFile(kDiagnosticLog);
    EXPECT_NE(diag.find("[INFO] Debug mode: enabled\n"), std::string::npos);
    EXPECT_NE(diag.find("[INFO] Debug mode changed to: enabled\n"), std::string::npos);
    EXPECT_NE(diag.find("[WARN] " + kConfigFile + ": line 4: ignored, unknown key: \"colour = blue\"\n"),
              std::string::npos);
    EXPECT_NE(diag.find("[DEBUG] Parse successful - container_id: "), std::string::npos);
    EXPECT_NE(diag.find("[DEBUG] Skipping duplicate log entry: "), std::string::npos);

    // --output wins over the configuration; --config names another file.
    writeFile("/etc/vrex/other.conf", "output_log = /var/log/other.log\n");
    r = run({"--config", "/etc/vrex/other.conf", "--convert", kSample, "--output", "/var/log/chosen.log"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile("/var/log/chosen.log"), readFile(kExpected));
    EXPECT_FALSE(fileExists("/var/log/other.log"));
}

TEST_F(BatchE2eTest, UnusableInputOrOutputIsNamedAndFails) {
    auto r = run({"--convert", "/var/log/no such audit.log"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(
        r.err.find("vrex-log-converter: cannot open input /var/log/no such audit.log: No such file or directory\n"),
        std::string::npos)
        << r.err;
    r = run({"--convert", "/var/log"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("vrex-log-converter: cannot convert input /var/log: it is a directory\n"), std::string::npos);
    r = run({"--convert", kSample + "/inside"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot open input " + kSample + "/inside: Not a directory"), std::string::npos);
    EXPECT_FALSE(fileExists(kEventLog));
    // Opens, but every read fails.
    r = run({"--convert", "/proc/self/mem"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("vrex-log-converter: /proc/self/mem: Input/output error (after 0 lines read, "),
              std::string::npos)
        << r.err;

    r = run({"--convert", kSample, "--output", "/var/log/missing-dir/out.log"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(
        r.err.find("vrex-log-converter: cannot open output /var/log/missing-dir/out.log: No such file or directory\n"),
        std::string::npos);

    writeFile("/var/log/self.log", readFile(kSample));
    r = run({"--convert", "/var/log/self.log", "--output", "/var/log/self.log"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("are the same file"), std::string::npos);
    EXPECT_EQ(readFile("/var/log/self.log"), readFile(kSample));
}

// Standard output and error whose reader has gone (a closed pipe) must not
// kill the program: the messages are lost, the work is not.
TEST_F(BatchE2eTest, ClosedOutputPipesDoNotStopTheRun) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        setenv("TZ", "UTC", 1);
        execl(kBinary.c_str(), kBinary.c_str(), "--convert", kSample.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    EXPECT_EQ(readFile(kEventLog), readFile(kExpected));
}

TEST_F(BatchE2eTest, CommandLine) {
    auto r = run({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: vrex-log-converter", 0), 0u);
    r = run({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "vrex-log-converter " VREX_CONVERTER_VERSION "\n");
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--bogus"}, {"--convert"}, {"--output", "/x"}, {"--convert", kSample, "--output"}, {"--config"}}) {
        r = run(args);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    }
    EXPECT_FALSE(fileExists(kDiagnosticLog));  // argument errors stop before anything starts
}

}  // namespace
}  // namespace vrex::testing
