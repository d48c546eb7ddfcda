#include "test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace vrex::testing {

namespace {

std::string tempBase() {
    if (const char *scratch = std::getenv("VREX_SANDBOX_SCRATCH"); scratch && *scratch)
        return scratch;
    if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp)
        return tmp;
    return "/tmp";
}

std::string slurpFd(int fd) {
    std::string text;
    if (lseek(fd, 0, SEEK_SET) < 0)
        return text;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

int tempFd() {
    std::string pattern = tempBase() + "/capture.XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp: " + std::string(std::strerror(errno)));
    unlink(pattern.c_str());
    return fd;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern = tempBase() + "/vrex-test.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
    if (!out.flush())
        throw std::runtime_error("write failed: " + path);
}

bool fileExists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

namespace {

// Strings and the NULL-terminated array of pointers into them that exec wants.
class CStringArray {
public:
    explicit CStringArray(std::vector<std::string> strings) : strings_(std::move(strings)) {
        for (auto &s : strings_)
            pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    char **data() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char *> pointers_;
};

std::vector<std::string> environmentWith(const std::vector<std::string> &extraEnv) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return env;
}

// Feeds `input` to inFd (closed when all is written, or at once when there is
// nothing to write) while collecting both output pipes until they close.
void pumpPipes(int inFd, const std::string &input, int outFd, int errFd, ProcessResult &result) {
    size_t written = 0;
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outOpen) {
            fds[n] = {outFd, POLLIN, 0};
            outIdx = n++;
        }
        if (errOpen) {
            fds[n] = {errFd, POLLIN, 0};
            errIdx = n++;
        }
        if (inFd >= 0) {
            fds[n] = {inFd, POLLOUT, 0};
            inIdx = n++;
        }
        if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        char buf[65536];
        auto drain = [&](int idx, int fd, std::string &sink, bool &open) {
            if (idx >= 0 && fds[idx].revents) {
                ssize_t got = read(fd, buf, sizeof buf);
                if (got > 0)
                    sink.append(buf, static_cast<size_t>(got));
                else if (got == 0 || errno != EINTR)
                    open = false;
            }
        };
        drain(outIdx, outFd, result.out, outOpen);
        drain(errIdx, errFd, result.err, errOpen);
        if (inIdx >= 0 && fds[inIdx].revents) {
            ssize_t put = write(inFd, input.data() + written, input.size() - written);
            if (put > 0)
                written += static_cast<size_t>(put);
            if (put < 0 && errno != EAGAIN && errno != EINTR)
                written = input.size();
            if (written >= input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0)
        close(inFd);
}

}  // namespace

void waitForExit(pid_t pid, ProcessResult &result) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

ProcessResult runProcess(const std::vector<std::string> &argv, const std::string &input,
                         const std::vector<std::string> &extraEnv) {
    if (argv.empty())
        throw std::invalid_argument("runProcess: empty argv");
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    CStringArray envp(environmentWith(extraEnv));
    CStringArray args(argv);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        signal(SIGPIPE, SIG_DFL);
        execvpe(args.data()[0], args.data(), envp.data());
        dprintf(2, "exec %s: %s\n", args.data()[0], std::strerror(errno));
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    ProcessResult result;
    pumpPipes(inPipe[1], input, outPipe[0], errPipe[0], result);
    close(outPipe[0]);
    close(errPipe[0]);
    waitForExit(pid, result);
    return result;
}

ProcessResult runProcessWithOutput(const std::vector<std::string> &argv, ChildOutput output,
                                   const std::vector<std::string> &extraEnv) {
    if (argv.empty())
        throw std::invalid_argument("runProcessWithOutput: empty argv");
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    CStringArray envp(environmentWith(extraEnv));
    CStringArray args(argv);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(null, 0);
        dup2(errPipe[1], 2);
        if (output == ChildOutput::Merged) {
            dup2(errPipe[1], 1);
        } else if (output == ChildOutput::DevFull) {
            int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
            dup2(full, 1);
        } else {
            close(1);
        }
        signal(SIGPIPE, SIG_DFL);
        execvpe(args.data()[0], args.data(), envp.data());
        dprintf(2, "exec %s: %s\n", args.data()[0], std::strerror(errno));
        _exit(127);
    }
    close(errPipe[1]);
    ProcessResult result;
    std::string &sink = output == ChildOutput::Merged ? result.out : result.err;
    char buf[65536];
    for (ssize_t n; (n = read(errPipe[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        sink.append(buf, static_cast<size_t>(n));
    }
    close(errPipe[0]);
    waitForExit(pid, result);
    return result;
}

std::vector<std::string> directoryEntries(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string envOrEmpty(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

CaptureOutput::CaptureOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    outFd_ = tempFd();
    errFd_ = tempFd();
    savedOut_ = dup(1);
    savedErr_ = dup(2);
    dup2(outFd_, 1);
    dup2(errFd_, 2);
}

CaptureOutput::~CaptureOutput() { stop(); }

void CaptureOutput::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut_, 1);
    dup2(savedErr_, 2);
    close(savedOut_);
    close(savedErr_);
    out_ = slurpFd(outFd_);
    err_ = slurpFd(errFd_);
    close(outFd_);
    close(errFd_);
}

std::string CaptureOutput::out() {
    stop();
    return out_;
}

std::string CaptureOutput::err() {
    stop();
    return err_;
}

bool inSandbox() {
    const char *v = std::getenv("VREX_SANDBOX");
    return v && std::string(v) == "1";
}

}  // namespace vrex::testing
