// The daemon's diagnostic log: one process-wide instance, four levels, one
// file, with standard output and standard error as fallbacks.
#pragma once

#include "sys_util.h"

#include <sys/types.h>
#include <unistd.h>

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
    // for appending and records the debug flag. Reports the outcome on the
    // console (standard output unless setConsole said otherwise) or on
    // standard error.
    void init(const std::string &path, bool debug);

    // Where the lines meant for the console go (the report of init, and a
    // debug mode change while the file is closed): standard output by
    // default; standard error where standard output carries data.
    void setConsole(int fd) { console_.store(fd, std::memory_order_relaxed); }

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

    // True when the open log file is the file with this device and inode.
    bool writesTo(dev_t device, ino_t inode);

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
    std::atomic<int> console_{STDOUT_FILENO};
    std::mutex mutex_;
};

}  // namespace vrex
