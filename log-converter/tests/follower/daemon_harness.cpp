#include "daemon_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#ifndef VREX_DAEMON_BINARY
#error "VREX_DAEMON_BINARY must name the built vrex-log-converter"
#endif

namespace vrex::testing {

namespace {
const std::string kEventPrefix = std::string(",container_id=") + kContainerId + ",Event=filectl,path=/data/f";
const std::string kEventSuffix = ",status=enforcing";
constexpr std::size_t kTimestampLength = 15;  // "Dec 07 10:19:40"
}  // namespace

std::string containerLine(std::uint64_t seq) {
    return "type=VREX_AVC msg=audit(1796638780.123:" + std::to_string(seq) +
           "): avc:  denied  { write } for  pid=4121 comm=\"bash\" name=\"/data/f" + std::to_string(seq) +
           "\" dev=\"overlay\" ino=1837465 tclass=file container_id=" + kContainerId;
}

std::string noiseLine(std::uint64_t seq) {
    return "type=SYSCALL msg=audit(1796638780.123:" + std::to_string(seq) +
           "): arch=c000003e syscall=257 success=no exit=-13 comm=\"bash\" name=\"/data/f" + std::to_string(seq) + "\"";
}

std::map<std::uint64_t, int> eventsIn(const std::string &text, std::string *problems) {
    std::map<std::uint64_t, int> seen;
    int reported = 0;
    auto problem = [&](const std::string &what) {
        if (reported++ < 5)
            *problems += what + "\n";
    };
    if (text.find('\0') != std::string::npos)
        problem("NUL bytes in the event log");
    if (!text.empty() && text.back() != '\n')
        problem("the event log ends inside a line");
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        bool ok = line.size() > kTimestampLength + kEventPrefix.size() + kEventSuffix.size() &&
                  line.substr(kTimestampLength, kEventPrefix.size()) == kEventPrefix &&
                  line.substr(line.size() - kEventSuffix.size()) == kEventSuffix;
        std::uint64_t seq = 0;
        if (ok) {
            auto digits = line.substr(kTimestampLength + kEventPrefix.size(),
                                      line.size() - kTimestampLength - kEventPrefix.size() - kEventSuffix.size());
            ok = !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
            if (ok)
                seq = std::stoull(std::string(digits));
        }
        if (!ok) {
            problem("unexpected line: " + std::string(line.substr(0, 200)));
            continue;
        }
        ++seen[seq];
    }
    return seen;
}

std::string readOrEmpty(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void appendText(const std::string &path, const std::string &text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

Daemon::Daemon(std::string configPath, std::string stderrPath)
    : configPath_(std::move(configPath)), stderrPath_(std::move(stderrPath)) {}

Daemon::~Daemon() {
    if (pid_ > 0)
        kill9();
}

bool Daemon::start() {
    std::vector<std::string> args = {VREX_DAEMON_BINARY};
    if (!configPath_.empty()) {
        args.push_back("--config");
        args.push_back(configPath_);
    }
    logStart_ = readOrEmpty(kDiagnosticLog).size();
    pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        int err = ::open(stderrPath_.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (err >= 0) {
            ::dup2(err, 1);
            ::dup2(err, 2);
        }
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = child;
    const std::string ready = "Daemon started (pid " + std::to_string(child) + ")";
    bool ok = waitUntil(
        [&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            return readOrEmpty(kDiagnosticLog).find(ready) != std::string::npos;
        },
        std::chrono::seconds(10));
    return ok && pid_ > 0;
}

int Daemon::stop(int sig) {
    if (pid_ <= 0)
        return -2;
    ::kill(pid_, sig);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Daemon::kill9() { stop(SIGKILL); }

void Daemon::signal(int sig) {
    if (pid_ > 0)
        ::kill(pid_, sig);
}

bool Daemon::logged(const std::string &fragment) const {
    std::string log = readOrEmpty(kDiagnosticLog);
    return log.find(fragment, std::min(logStart_, log.size())) != std::string::npos;
}

}  // namespace vrex::testing
