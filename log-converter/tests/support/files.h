// Files for the daemon's suites: the daemon's fixed paths, appending and
// reading that report failures to the running test, waiting for a
// condition, and the two ways a write runs out of room.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace vrex::testing {

// The fixed paths of the installed daemon (inside the test sandbox).
inline const std::string kDiagnosticLog = "/var/log/vrex-log-converter.log";
inline const std::string kAuditLog = "/var/log/vrex_audit.log";
inline const std::string kEventLog = "/var/log/zorva_container.log";
inline const std::string kConfigFile = "/etc/vrex/vrex-log-converter.conf";

// Every write to it fails with ENOSPC.
inline constexpr const char *kFullDevice = "/dev/full";

// The file's content, or "" when it cannot be read.
std::string readOrEmpty(const std::string &path);
// Opens path for appending (created 0644 when missing); -1 on failure.
int openAppend(const std::string &path);
// Writes all of text; a failure is a failure of the running test (from any
// thread), and false.
bool writeAllTo(int fd, std::string_view text);
// Appends text to path in one write, creating the file when missing.
void appendText(const std::string &path, std::string_view text);

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);

// Lowers this process's file size limit for its lifetime: a write that
// crosses it is cut short the way a full disk cuts it, part of the bytes
// landing before the write fails.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit saved_{};
};

}  // namespace vrex::testing
