// The built program in batch mode, at its real paths inside the sandbox.
#include "files.h"
#include "test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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
    // The same, stopped after a while: a run that feeds on its own output
    // would never end.
    ProcessResult runLimited(std::vector<std::string> args) {
        args.insert(args.begin(), {"timeout", "20", kBinary});
        return runProcess(args, "", {"TZ=UTC"});
    }
};

// The peak resident memory of a running process, in KiB (0 when gone).
long peakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

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

// Reading one of its own logs, a run feeds on what it writes: each ERROR
// about a line copies that line into the file being read.
TEST_F(BatchE2eTest, ItsOwnLogsAreRefusedAsInput) {
    // A record whose status word makes an ERROR: the diagnostic log gets it.
    ASSERT_EQ(run({"--convert", kSample}).exitCode, 0);
    const auto diagnosticSize = std::filesystem::file_size(kDiagnosticLog);
    auto r = runLimited({"--convert", kDiagnosticLog});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(
        r.err.find("vrex-log-converter: input " + kDiagnosticLog + " is the diagnostic log " + kDiagnosticLog + "\n"),
        std::string::npos)
        << r.err.substr(0, 500);
    // Through a symbolic link or a hard link, and spelt another way.
    std::filesystem::create_symlink(kDiagnosticLog, "/var/log/diag-link.log");
    std::filesystem::create_hard_link(kDiagnosticLog, "/var/log/diag-hard.log");
    for (std::string name : {"/var/log/diag-link.log", "/var/log/diag-hard.log", "/var/log/./vrex-log-converter.log"}) {
        r = runLimited({"--convert", name});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_NE(r.err.find("input " + name + " is the diagnostic log " + kDiagnosticLog), std::string::npos) << name;
    }
    EXPECT_LT(std::filesystem::file_size(kDiagnosticLog), diagnosticSize + 4096);

    // The output log: the configured one, or the one named by --output.
    r = runLimited({"--convert", kEventLog});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("input " + kEventLog + " and output " + kEventLog + " are the same file"), std::string::npos);
    std::filesystem::create_symlink("/var/log/other.log", "/var/log/other-link.log");
    writeFile("/var/log/other.log", readFile(kSample));
    r = runLimited({"--convert", "/var/log/other-link.log", "--output", "/var/log/other.log"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("are the same file"), std::string::npos);
    EXPECT_EQ(readFile("/var/log/other.log"), readFile(kSample));
    std::filesystem::remove("/var/log/diag-link.log");
    std::filesystem::remove("/var/log/diag-hard.log");
    std::filesystem::remove("/var/log/other-link.log");
}

TEST_F(BatchE2eTest, EventsOnStandardOutputCarryNothingElse) {
    auto r = run({"--convert", kSample, "--output", "/dev/stdout"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, readFile(kExpected));
    EXPECT_NE(r.err.find("SUCCESS: Created and opened log file: " + kDiagnosticLog), std::string::npos);
}

TEST_F(BatchE2eTest, AnOptionGivenTwiceIsAUsageError) {
    writeFile("/var/log/second.log", "");
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--convert", "/var/log/second.log", "--convert", kSample},
             {"--convert", kSample, "--output", "/var/log/a.log", "--output", "/var/log/b.log"},
             {"--config", "/etc/vrex/a.conf", "--config", "/etc/vrex/b.conf"}}) {
        auto r = runLimited(args);  // the last would run the daemon if taken
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_NE(r.err.find("vrex-log-converter: " + args[args.size() - 2] + " given more than once\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    }
    EXPECT_FALSE(fileExists(kEventLog));
    EXPECT_FALSE(fileExists("/var/log/b.log"));
}

// Records whose paths are far longer than any the kernel writes: each one
// kept in the duplicate cache took its whole key. They come through a FIFO,
// so that the run's peak memory can be read before it ends.
TEST_F(BatchE2eTest, LongHostilePathsKeepMemoryBounded) {
    const std::string fifo = "/var/log/hostile-audit.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(kBinary.c_str(), kBinary.c_str(), "--convert", fifo.c_str(), "--output", "/var/log/hostile-events.log",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string line = readFile(kSample).substr(readFile(kSample).find("type=VREX_AVC"));
    line = line.substr(0, line.find('\n'));
    const std::string path = "\"/etc/passwd\"";
    const std::size_t at = line.find(path);
    for (int i = 0; i < 40; ++i) {
        std::string hostile = line;
        hostile.replace(at, path.size(), "\"/" + std::to_string(i) + std::string(2 << 20, 'p') + "\"");
        ASSERT_TRUE(writeAllTo(fd, hostile + "\n"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long peak = peakKiB(pid);
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readFile("/var/log/hostile-events.log"), "");
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 64 * 1024) << "peak resident memory " << peak << " KiB";
    std::filesystem::remove(fifo);
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
