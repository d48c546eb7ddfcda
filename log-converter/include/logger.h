// The daemon's diagnostic log: one process-wide instance, four levels, one
// file, with standard output and standard error as fallbacks.
#pragma once

#include "sys_util.h"

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

namespace vrex {

class Logger {
public:
    enum Level : int { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3 };

    static Logger &getInstance();

    // Opens (creating directories and the file when missing) the log file
    // for appending and records the debug flag. Reports the outcome on
    // standard output or standard error.
    void init(const std::string &path, bool debug);

    void log(Level level, std::string_view message);

    void setDebugMode(bool enabled);
    // True when DEBUG entries are kept; callers test it before they build
    // DEBUG text, so that nothing is built for an entry that would be dropped.
    bool isDebugEnabled() const { return debug_.load(std::memory_order_relaxed); }

    void closeFile();

    // Closes the file and opens the same path again for appending (after the
    // file was rotated away). False when the new open fails; entries then go
    // to standard error until a later reopen succeeds.
    bool reopen();

    static std::string getCurrentTimestamp();
    static std::string levelToString(Level level);

    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

private:
    Logger() = default;
    ~Logger();

    void closeLocked();

    std::string path_;
    UniqueFd fd_;
    bool initialized_ = false;
    std::atomic<bool> debug_{false};
    std::mutex mutex_;
};

}  // namespace vrex
