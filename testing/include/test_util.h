// Helpers shared by the test suites: temporary directories, whole-file
// reads and writes, running a program with captured output, and capturing
// this process's own standard output and error.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <string>
#include <vector>

namespace vrex::testing {

// A fresh directory below $TMPDIR (or the sandbox's scratch), removed with
// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
bool fileExists(const std::string &path);
// The names in a directory but "." and "..", sorted; empty when unreadable.
std::vector<std::string> directoryEntries(const std::string &dir);
// The value of an environment variable, "" when unset.
std::string envOrEmpty(const char *name);

struct ProcessResult {
    int exitCode = -1;  // exit status, or -1 when killed by a signal
    int signal = 0;     // the signal that ended it, if any
    std::string out;    // everything written to standard output
    std::string err;    // everything written to standard error
};

// Runs argv[0] (looked up in PATH when it has no '/') with the given
// standard input; extraEnv entries ("NAME=value") are added to the
// environment. Waits for it to end.
ProcessResult runProcess(const std::vector<std::string> &argv, const std::string &input = "",
                         const std::vector<std::string> &extraEnv = {});
// Where runProcessWithOutput sends the child's standard output.
enum class ChildOutput {
    Merged,   // into one pipe with standard error: result.out holds both, in the order written
    DevFull,  // to /dev/full, where every write fails with ENOSPC
    Closed,   // nowhere: descriptor 1 is closed
};
// Runs argv[0] as runProcess does, with no input and standard output as
// `output` says; standard error is captured in result.err (but for Merged).
ProcessResult runProcessWithOutput(const std::vector<std::string> &argv, ChildOutput output,
                                   const std::vector<std::string> &extraEnv = {});

// Waits for child `pid` to end and records how it ended in result.
void waitForExit(pid_t pid, ProcessResult &result);

// Redirects file descriptors 1 and 2 to temporary files for its lifetime, so
// that a test can see exactly what a function printed and on which channel.
class CaptureOutput {
public:
    CaptureOutput();
    ~CaptureOutput();
    CaptureOutput(const CaptureOutput &) = delete;
    CaptureOutput &operator=(const CaptureOutput &) = delete;

    // Stops capturing (restoring the real descriptors) and returns what was
    // captured; later calls return the same text.
    std::string out();
    std::string err();

private:
    void stop();
    int savedOut_ = -1;
    int savedErr_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool stopped_ = false;
    std::string out_;
    std::string err_;
};

// True inside the test sandbox (see testing/sandbox/vrex-sandbox).
bool inSandbox();

}  // namespace vrex::testing

// End-to-end tests touch fixed system paths: they only run inside the sandbox.
#define VREX_REQUIRE_SANDBOX()                                                                                         \
    do {                                                                                                               \
        if (!::vrex::testing::inSandbox())                                                                             \
            GTEST_SKIP() << "needs the test sandbox (run through vrex-sandbox)";                                       \
    } while (0)
