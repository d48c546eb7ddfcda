#include "logger.h"

#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vrex {

namespace {

const char *levelName(int level) {
    switch (level) {
    case Logger::DEBUG:
        return "DEBUG";
    case Logger::INFO:
        return "INFO";
    case Logger::WARN:
        return "WARN";
    case Logger::ERROR:
        return "ERROR";
    default:
        return "UNKNOWN";
    }
}

// Creates every missing directory of dir, one component at a time. Failures
// are left for the open that follows to report.
void makeDirectories(const std::string &dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
        return;
    for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        std::string part = dir.substr(0, pos);
        if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return;
        if (pos == std::string::npos)
            return;
    }
}

// Opens the log file for appending, creating it and its directories when
// missing, and says on the console which it did (or on standard error why it
// could not).
UniqueFd openLogFile(const std::string &path, int console) {
    const std::string dir = directoryOf(path);
    if (dir != "." && dir != "/")
        makeDirectories(dir);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY));
    if (fd) {
        writeAll(console, "SUCCESS: Opened existing log file: " + path + "\n");
        return fd;
    }
    fd.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640));
    if (fd) {
        writeAll(console, "SUCCESS: Created and opened log file: " + path + "\n");
        return fd;
    }
    int err = errno;
    writeAll(STDERR_FILENO, "ERROR: Cannot open log file: " + path + " (errno: " + std::to_string(err) + " - " +
                                errorText(err) + ")\n");
    return fd;
}

// "[timestamp] [INFO] ", built by appending (g++ 12 at -O3 warns falsely
// about prepending to a temporary string).
std::string infoPrefix() {
    std::string text = "[";
    text.append(Logger::getCurrentTimestamp()).append("] [INFO] ");
    return text;
}

}  // namespace

Logger &Logger::getInstance() {
    static Logger instance;
    return instance;
}

Logger::~Logger() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void Logger::closeLocked() { fd_.reset(); }

std::string Logger::getCurrentTimestamp() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    char date[64] = "";
    if (localtime_r(&now.tv_sec, &local))
        strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char text[96];
    snprintf(text, sizeof text, "%s.%03ld", date, now.tv_nsec / 1000000L);
    return text;
}

std::string Logger::levelToString(Level level) { return levelName(level); }

void Logger::init(const std::string &path, bool debug) {
    std::lock_guard lock(mutex_);
    closeLocked();
    path_ = path;
    debug_.store(debug, std::memory_order_relaxed);
    fd_ = openLogFile(path, console_.load(std::memory_order_relaxed));
    initialized_ = true;
    if (!fd_)
        return;
    std::string stamp = infoPrefix();
    std::string header;
    header.append(stamp).append("Logger initialized\n");
    header.append(stamp).append("Log file: ").append(path).append("\n");
    header.append(stamp).append("Debug mode: ").append(debug ? "enabled" : "disabled").append("\n");
    writeAll(fd_.get(), header);
}

void Logger::log(Level level, std::string_view message) {
    if (level == DEBUG && !debug_.load(std::memory_order_relaxed))
        return;
    const char *name = levelName(level);
    std::lock_guard lock(mutex_);
    // The message is written where it stands, after its prefix: a long one
    // (an audit line of megabytes) is not copied.
    std::string prefix = "[";
    if (!initialized_) {
        prefix.append(name).append("] ");
        writeAllParts(STDERR_FILENO, {prefix, message, "\n"});
        return;
    }
    prefix.append(getCurrentTimestamp()).append("] [").append(name).append("] ");
    if (fd_) {
        writeAllParts(fd_.get(), {prefix, message, "\n"});
        if (level == ERROR)
            writeAllParts(STDERR_FILENO, {prefix, message, "\n"});
    } else {
        writeAllParts(STDERR_FILENO, {prefix, message, " [LOG_FILE_CLOSED]\n"});
    }
}

void Logger::setDebugMode(bool enabled) {
    std::lock_guard lock(mutex_);
    debug_.store(enabled, std::memory_order_relaxed);
    if (!initialized_)
        return;
    std::string line = infoPrefix();
    line.append("Debug mode changed to: ").append(enabled ? "enabled" : "disabled").append("\n");
    writeAll(fd_ ? fd_.get() : console_.load(std::memory_order_relaxed), line);
}

void Logger::closeFile() {
    std::lock_guard lock(mutex_);
    closeLocked();
    initialized_ = false;
}

bool Logger::reopen() {
    std::lock_guard lock(mutex_);
    closeLocked();
    if (path_.empty())
        return false;
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640));
    return fd_.valid();
}

bool Logger::writesTo(dev_t device, ino_t inode) {
    std::lock_guard lock(mutex_);
    struct stat st;
    return fd_ && ::fstat(fd_.get(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

}  // namespace vrex
