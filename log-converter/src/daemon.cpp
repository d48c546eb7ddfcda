// The daemon's run: one writer, one follower, and the main thread waiting on
// a signalfd for SIGINT/SIGTERM (stop), SIGHUP (reopen the logs) and the
// periodic status line. The signals are blocked before the follower's thread
// exists, so they are only ever taken here and no work happens in a handler.
#include "daemon.h"

#include "log_converter.h"
#include "log_reader.h"
#include "log_writer.h"
#include "logger.h"
#include "unique_fd.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

namespace vrex {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStatusInterval = std::chrono::seconds(60);

int cannotStart(const std::string &why) {
    // ERROR entries also reach standard error, where systemd records them.
    Logger::getInstance().log(Logger::ERROR, "Cannot start: " + why);
    return 1;
}

Logger::Level toLoggerLevel(LogReader::Level level) {
    switch (level) {
    case LogReader::Level::Debug:
        return Logger::DEBUG;
    case LogReader::Level::Info:
        return Logger::INFO;
    case LogReader::Level::Warn:
        return Logger::WARN;
    case LogReader::Level::Error:
        break;
    }
    return Logger::ERROR;
}

// The position file's directory is normally made by the service manager;
// when run by hand, make the last level of it.
bool ensureParentDirectory(const std::string &path, std::string *error) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    std::string dir = path.substr(0, slash);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        *error = dir + " is not a directory";
        return false;
    }
    if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
}

struct Counters {
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> duplicates{0};
    std::atomic<std::uint64_t> writeFailures{0};
};

void logStatus(const LogReader &reader, const Counters &counters, const char *prefix) {
    auto s = reader.stats();
    Logger::getInstance().log(Logger::INFO, std::string(prefix) + "lines read " + std::to_string(s.linesRead) +
                                                ", events written " + std::to_string(counters.written.load()) +
                                                ", duplicates " + std::to_string(counters.duplicates.load()) +
                                                ", dropped " + std::to_string(s.linesDropped) + ", rotations " +
                                                std::to_string(s.rotations) + ", truncations " +
                                                std::to_string(s.truncations));
}

}  // namespace

int runDaemon(const Config &config) {
    Logger &logger = Logger::getInstance();

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (int rc = pthread_sigmask(SIG_BLOCK, &signals, nullptr); rc != 0)
        return cannotStart(std::string("cannot block signals: ") + std::strerror(rc));
    UniqueFd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC));
    if (!signalFd)
        return cannotStart(std::string("signalfd: ") + std::strerror(errno));

    if (config.inputLog.empty())
        return cannotStart("input_log is empty");
    std::string error;
    if (!config.positionFile.empty() && !ensureParentDirectory(config.positionFile, &error))
        return cannotStart("position_file: " + error);

    LogWriter writer(config.outputLog);
    if (!writer.isOpen())
        return cannotStart("cannot open the output log " + config.outputLog + ": " + writer.lastError());

    LogConverter &converter = LogConverter::getInstance();
    // Held around every write and around the SIGHUP reopen, so the main
    // thread never reopens the writer while the monitor thread uses it.
    std::mutex writerMutex;
    Counters counters;
    LogConverter::ParseResult parsed;
    std::string event;
    auto onLine = [&](std::string_view line) {
        converter.parseLineInto(line, parsed);
        if (!converter.convertInto(parsed, event)) {
            // A valid record that renders nothing was a repeat.
            if (parsed.valid)
                counters.duplicates.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        std::lock_guard lock(writerMutex);
        if (writer.writeLine(event)) {
            counters.written.fetch_add(1, std::memory_order_relaxed);
        } else {
            counters.writeFailures.fetch_add(1, std::memory_order_relaxed);
            logger.log(Logger::ERROR, "Lost an event: cannot write to " + config.outputLog);
        }
    };

    LogReader::Options options;
    options.positionFile = config.positionFile;
    options.debug = config.debug;
    options.diagnostics = [&logger](LogReader::Level level, const std::string &message) {
        logger.log(toLoggerLevel(level), message);
    };
    LogReader reader(config.inputLog, onLine, options);
    if (!reader.start(&error))
        return cannotStart("cannot follow " + config.inputLog + ": " + error);
    logger.log(Logger::INFO, "Daemon started (pid " + std::to_string(::getpid()) + "): following " + config.inputLog +
                                 " with " + reader.backendName() + ", writing to " + config.outputLog +
                                 (config.positionFile.empty() ? std::string(", no saved position")
                                                              : ", position saved in " + config.positionFile));

    auto nextStatus = Clock::now() + kStatusInterval;
    for (;;) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextStatus - Clock::now()).count();
        pollfd fd = {signalFd.get(), POLLIN, 0};
        int n = ::poll(&fd, 1, wait < 0 ? 0 : static_cast<int>(wait));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            logger.log(Logger::ERROR, std::string("poll on the signal descriptor failed: ") + std::strerror(errno));
            break;
        }
        if (n == 0) {
            logStatus(reader, counters, "Status: ");
            nextStatus += kStatusInterval;
            if (nextStatus < Clock::now())
                nextStatus = Clock::now() + kStatusInterval;
            continue;
        }
        signalfd_siginfo info{};
        ssize_t got = ::read(signalFd.get(), &info, sizeof info);
        if (got != static_cast<ssize_t>(sizeof info))
            continue;
        if (info.ssi_signo == SIGHUP) {
            logger.log(Logger::INFO, "SIGHUP: reopening the output log and the diagnostic log");
            bool logOk = logger.reopen();
            bool outOk;
            {
                std::lock_guard lock(writerMutex);
                outOk = writer.openFile(true);
            }
            if (!logOk)
                logger.log(Logger::ERROR, "Cannot reopen the diagnostic log");
            if (outOk)
                logger.log(Logger::INFO, "Reopened the output log and the diagnostic log");
            continue;
        }
        logger.log(Logger::INFO,
                   std::string("Received ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
        break;
    }

    reader.stop();
    {
        std::lock_guard lock(writerMutex);
        writer.closeFile();
    }
    logStatus(reader, counters, "Final counts: ");
    logger.log(Logger::INFO, "Stopped: " + std::to_string(reader.stats().linesRead) + " lines processed, " +
                                 std::to_string(counters.written.load()) + " events written");
    return 0;
}

}  // namespace vrex
