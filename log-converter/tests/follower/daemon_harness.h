// Drives the real vrex-log-converter in the test sandbox: starts it in the
// background with a configuration, waits until it follows its input, stops
// or kills it, and looks at what this run wrote to the diagnostic log.
#pragma once

#include <sys/types.h>

#include <string>

namespace vrex::testing {

class Daemon {
public:
    // configPath empty: run without --config (the installed defaults).
    explicit Daemon(std::string configPath, std::string stderrPath);
    ~Daemon();

    // Starts the program and waits until it reports that it follows its
    // input; false if it exits or stays silent.
    bool start();
    // Sends sig and waits; returns the exit status (-1 if killed).
    int stop(int sig);
    void kill9();
    void signal(int sig);
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // Diagnostic log entries written by this run of the daemon.
    bool logged(const std::string &fragment) const;

private:
    std::string configPath_;
    std::string stderrPath_;
    pid_t pid_ = -1;
    // Size of the diagnostic log when this run started.
    std::size_t logStart_ = 0;
};

}  // namespace vrex::testing
