// The daemon's run: one writer, one follower, and the main thread waiting on
// a signalfd for SIGINT/SIGTERM (stop), SIGHUP (reopen the logs) and the
// periodic status line. The signals are blocked before the follower's thread
// exists, so they are only ever taken here and no work happens in a handler.
#include "daemon.h"

#include "event_sink.h"
#include "instance_lock.h"
#include "log_converter.h"
#include "log_reader.h"
#include "log_writer.h"
#include "logger.h"
#include "own_logs.h"
#include "sys_util.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
    if (path.find('/') == std::string::npos)
        return true;
    const std::string dir = directoryOf(path);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        *error = dir + " is not a directory";
        return false;
    }
    if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    *error = "cannot create " + dir + ": " + errorText(errno);
    return false;
}

// Blocks SIGINT, SIGTERM and SIGHUP in this thread and every thread made
// after it, and gives a descriptor that reads them.
bool takeSignals(UniqueFd *signalFd, std::string *error) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (int rc = pthread_sigmask(SIG_BLOCK, &signals, nullptr); rc != 0) {
        *error = "cannot block signals: " + errorText(rc);
        return false;
    }
    signalFd->reset(::signalfd(-1, &signals, SFD_CLOEXEC));
    if (!*signalFd) {
        *error = "signalfd: " + errorText(errno);
        return false;
    }
    return true;
}

void logStatus(const LogReader &reader, const EventSink::Counters &counters, const char *prefix) {
    auto s = reader.stats();
    const std::uint64_t already = counters.alreadyWritten.load();
    Logger::getInstance().log(
        Logger::INFO, std::string(prefix) + "lines read " + std::to_string(s.linesRead) + ", events written " +
                          std::to_string(counters.written.load()) +
                          (already ? ", events found already written " + std::to_string(already) : std::string()) +
                          ", duplicates " + std::to_string(counters.duplicates.load()) + ", dropped " +
                          std::to_string(s.linesDropped) + ", rotations " + std::to_string(s.rotations) +
                          ", truncations " + std::to_string(s.truncations));
}

LogReader::Options readerOptions(const Config &config, const LogWriter &writer, EventSink &sink) {
    LogReader::Options options;
    // The position is saved with what a replay after a crash needs, and
    // only once the events before it are on the disk.
    options.checkpoint = [&sink](bool final) { return sink.checkpoint(final); };
    options.makeDurable = [&sink](std::string *error) { return sink.makeDurable(error); };
    options.resume = [&sink](const ReplayState &state) { sink.resume(state); };
    options.positionFile = config.positionFile;
    options.debug = config.debug;
    // A file that turns out, at a rotation, to be one of the daemon's own
    // logs is not followed.
    options.ownFile = [&config, &writer](std::uint64_t device, std::uint64_t inode) {
        return ownLogWithId(device, inode, config.outputLog, &writer).describe();
    };
    options.diagnostics = [](LogReader::Level level, const std::string &message) {
        Logger::getInstance().log(toLoggerLevel(level), message);
    };
    return options;
}

void logStarted(const Config &config, const LogReader &reader) {
    Logger::getInstance().log(Logger::INFO,
                              "Daemon started (pid " + std::to_string(::getpid()) + "): following " + config.inputLog +
                                  " with " + reader.backendName() + ", writing to " + config.outputLog +
                                  (config.positionFile.empty() ? std::string(", no saved position")
                                                               : ", position saved in " + config.positionFile));
}

void reopenLogs(EventSink &sink) {
    Logger &logger = Logger::getInstance();
    logger.log(Logger::INFO, "SIGHUP: reopening the output log and the diagnostic log");
    bool logOk = logger.reopen();
    bool outOk = sink.reopen();
    if (!logOk)
        logger.log(Logger::ERROR, "Cannot reopen the diagnostic log");
    if (outOk)
        logger.log(Logger::INFO, "Reopened the output log and the diagnostic log");
    else
        logger.log(Logger::ERROR, "Cannot reopen the output log; the next event retries it");
}

// Waits for SIGINT or SIGTERM (or a failure of the wait itself), reopening
// the logs on SIGHUP and writing the status line every interval meanwhile.
void serveUntilStopped(int signalFd, const LogReader &reader, EventSink &sink) {
    Logger &logger = Logger::getInstance();
    auto nextStatus = Clock::now() + kStatusInterval;
    for (;;) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextStatus - Clock::now()).count();
        pollfd fd = {signalFd, POLLIN, 0};
        int n = ::poll(&fd, 1, wait < 0 ? 0 : static_cast<int>(wait));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            logger.log(Logger::ERROR, "poll on the signal descriptor failed: " + errorText(errno));
            return;
        }
        if (n == 0) {
            logStatus(reader, sink.counters(), "Status: ");
            nextStatus += kStatusInterval;
            if (nextStatus < Clock::now())
                nextStatus = Clock::now() + kStatusInterval;
            continue;
        }
        signalfd_siginfo info{};
        if (::read(signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        if (info.ssi_signo == SIGHUP) {
            reopenLogs(sink);
            continue;
        }
        logger.log(Logger::INFO,
                   std::string("Received ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
        return;
    }
}

}  // namespace

int runDaemon(const Config &config) {
    UniqueFd signalFd;
    std::string error;
    if (!takeSignals(&signalFd, &error))
        return cannotStart(error);
    if (config.inputLog.empty())
        return cannotStart("input_log is empty");
    if (!config.positionFile.empty() && !ensureParentDirectory(config.positionFile, &error))
        return cannotStart("position_file: " + error);

    LogWriter writer(config.outputLog);
    if (!writer.isOpen())
        return cannotStart("cannot open the output log " + config.outputLog + ": " + writer.lastError());
    InstanceLock lock;
    pid_t holder = 0;
    switch (lock.take(instanceLockPath(config.outputLog), &holder, &error)) {
    case InstanceLock::Result::Taken:
        break;
    case InstanceLock::Result::HeldByAnother:
        return cannotStart("another instance is running (pid " + (holder > 0 ? std::to_string(holder) : "unknown") +
                           ")");
    case InstanceLock::Result::Failed:
        return cannotStart(error);
    }
    // Both logs exist now, so a link to either is recognised too.
    if (OwnLog own = ownLogNamedBy(config.inputLog, config.outputLog))
        return cannotStart("input_log " + config.inputLog + " is " + own.describe());
    // From here a failed write is waited out by the sink, which says so.
    writer.setFailureReports(false);
    EventSink sink(writer, config.outputLog);
    LogReader reader(
        config.inputLog, [&sink](std::string_view line) { return sink.take(line); },
        readerOptions(config, writer, sink));
    sink.setPause([&reader](std::chrono::milliseconds pause) { return reader.pause(pause); });
    if (!reader.start(&error))
        return cannotStart("cannot follow " + config.inputLog + ": " + error);
    logStarted(config, reader);

    serveUntilStopped(signalFd.get(), reader, sink);

    reader.stop();
    sink.close();
    logStatus(reader, sink.counters(), "Final counts: ");
    Logger::getInstance().log(Logger::INFO, "Stopped: " + std::to_string(reader.stats().linesRead) +
                                                " lines processed, " + std::to_string(sink.counters().written.load()) +
                                                " events written");
    return 0;
}

}  // namespace vrex
