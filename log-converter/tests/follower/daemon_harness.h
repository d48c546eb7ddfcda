// Drives the real vrex-log-converter in the test sandbox: writes its
// configuration, starts it in the background, waits until it follows its
// input, stops or kills it; makes sequence-numbered audit lines and reads
// the sequence numbers back out of the container event log.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace vrex::testing {

inline constexpr const char *kDiagnosticLog = "/var/log/vrex-log-converter.log";
inline constexpr const char *kContainerId = "3f2a9c0d1e2b4a5f6c7d8e9f00112233445566778899aabbccddeeff00112233";

// A container denial whose event line names /data/f<seq>: unique per
// sequence number, so the converter's repeat filter never merges two.
std::string containerLine(std::uint64_t seq);
// An audit line of another kind, which must produce nothing.
std::string noiseLine(std::uint64_t seq);

// Sequence number -> how often its event line occurs in the text. Any line
// that is not exactly an event line of containerLine() is described in
// *problems (NUL bytes included).
std::map<std::uint64_t, int> eventsIn(const std::string &text, std::string *problems);

std::string readOrEmpty(const std::string &path);
void appendText(const std::string &path, const std::string &text);
bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);

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
