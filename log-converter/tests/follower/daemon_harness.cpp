#include "daemon_harness.h"

#include "files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#ifndef VREX_DAEMON_BINARY
#error "VREX_DAEMON_BINARY must name the built vrex-log-converter"
#endif

namespace vrex::testing {

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
