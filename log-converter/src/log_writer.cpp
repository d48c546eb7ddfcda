#include "log_writer.h"

#include "logger.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vrex {

namespace {

constexpr size_t kBatchBuffer = 1 << 20;

std::string errorText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

void pause100ms() {
    struct timespec left = {0, 100 * 1000 * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

LogWriter::LogWriter(std::string path, bool checkEachLine)
    : path_(std::move(path)), checkEachLine_(checkEachLine) {
    openFile(true);
}

LogWriter::~LogWriter() { closeFile(); }

void LogWriter::recordError(int err) { lastError_ = errorText(err); }

bool LogWriter::isOpen() const {
    std::lock_guard lock(mutex_);
    return stream_ != nullptr;
}

std::string LogWriter::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

bool LogWriter::openFile(bool append) {
    const char *letter = append ? "a" : "w";
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        if (stream_) {
            fflush(stream_);
            fclose(stream_);
            stream_ = nullptr;
        }
        stream_ = fopen(path_.c_str(), append ? "ae" : "we");
        if (!stream_) {
            recordError(errno);
            failure = lastError_;
        } else {
            if (checkEachLine_)
                setvbuf(stream_, nullptr, _IOLBF, BUFSIZ);
            else
                setvbuf(stream_, nullptr, _IOFBF, kBatchBuffer);
            struct stat st;
            if (fstat(fileno(stream_), &st) == 0) {
                inode_ = st.st_ino;
                expectedSize_ = static_cast<uint64_t>(st.st_size);
            }
        }
    }
    Logger &logger = Logger::getInstance();
    if (!failure.empty()) {
        logger.log(Logger::ERROR, "Failed to open output file: " + path_ + " - " + failure);
        return false;
    }
    logger.log(Logger::INFO, "Opened output file: " + path_ + " (mode: " + letter + ")");
    return true;
}

bool LogWriter::checkAndReopen() {
    ino_t inode;
    uint64_t expected;
    {
        std::lock_guard lock(mutex_);
        if (!stream_)
            return false;
        inode = inode_;
        expected = expectedSize_;
    }
    struct stat st;
    if (stat(path_.c_str(), &st) != 0)
        return false;
    if (st.st_ino == inode) {
        if (static_cast<uint64_t>(st.st_size) >= expected)
            return true;
        Logger::getInstance().log(Logger::INFO, "Output file truncated, reopening...");
        return openFile(true);
    }
    // Append, not truncate: whatever the new file already holds is kept.
    Logger::getInstance().log(Logger::INFO, "Output file rotated, reopening...");
    return openFile(true);
}

bool LogWriter::writeLine(std::string_view line) {
    if (line.empty())
        return true;
    if (checkEachLine_ && !checkAndReopen()) {
        pause100ms();
        if (!openFile(true))
            return false;
    }
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        if (!stream_)
            return false;
        bool ok = fwrite_unlocked(line.data(), 1, line.size(), stream_) == line.size() &&
                  putc_unlocked('\n', stream_) != EOF;
        if (ok && checkEachLine_)
            ok = fflush(stream_) == 0;
        if (ok) {
            expectedSize_ += line.size() + 1;
            return true;
        }
        recordError(errno);
        clearerr(stream_);
        failure = lastError_;
    }
    Logger::getInstance().log(Logger::ERROR, "Failed to write to file: " + failure);
    return false;
}

bool LogWriter::flush() {
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        if (!stream_ || fflush(stream_) == 0)
            return true;
        recordError(errno);
        clearerr(stream_);
        failure = lastError_;
    }
    Logger::getInstance().log(Logger::ERROR, "Failed to write to file: " + failure);
    return false;
}

void LogWriter::closeFile() {
    std::lock_guard lock(mutex_);
    if (!stream_)
        return;
    fflush(stream_);
    fclose(stream_);
    stream_ = nullptr;
}

}  // namespace vrex
