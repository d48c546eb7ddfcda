#include "log_writer.h"

#include "logger.h"
#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace vrex {

namespace {

constexpr size_t kBatchBuffer = 1 << 20;

void pause100ms() {
    struct timespec left = {0, 100 * 1000 * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

}  // namespace

LogWriter::LogWriter(std::string path, bool checkEachLine) : path_(std::move(path)), checkEachLine_(checkEachLine) {
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

uint64_t LogWriter::linesWritten() const {
    std::lock_guard lock(mutex_);
    return linesWritten_;
}

bool LogWriter::writesTo(dev_t device, ino_t inode) const {
    std::lock_guard lock(mutex_);
    struct stat st;
    return stream_ && fstat(fileno(stream_.get()), &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

bool LogWriter::openFile(bool append) {
    const char *letter = append ? "a" : "w";
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        // Lines gathered for the file being closed go to it first.
        std::string lost;
        if (stream_ && !gathered_.empty() && !writeGathered(&lost) && reportFailures_)
            Logger::getInstance().log(Logger::ERROR, "Failed to write to file: " + lost);
        // Lines followed one by one (the daemon): the file left behind keeps
        // what was written to it durably, as the current one is kept by
        // sync(), which only reaches the current one.
        if (stream_ && checkEachLine_)
            while (::fdatasync(fileno(stream_.get())) != 0 && errno == EINTR) {}
        stream_.reset();
        stream_.reset(fopen(path_.c_str(), append ? "ae" : "we"));
        if (!stream_) {
            recordError(errno);
            failure = lastError_;
        } else {
            // Buffered lines are gathered here and written past the stream.
            setvbuf(stream_.get(), nullptr, checkEachLine_ ? _IOLBF : _IONBF, checkEachLine_ ? BUFSIZ : 0);
            struct stat st;
            if (fstat(fileno(stream_.get()), &st) == 0) {
                inode_ = st.st_ino;
                expectedSize_ = static_cast<uint64_t>(st.st_size);
                wholeLinesEnd_ = expectedSize_;
            }
        }
    }
    Logger &logger = Logger::getInstance();
    if (!failure.empty()) {
        if (reportFailures_)
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
        if (!checkEachLine_) {
            // Room is made first, so that the buffer never holds more than a
            // line past its size.
            bool ok =
                gathered_.empty() || gathered_.size() + line.size() + 1 <= kBatchBuffer || writeGathered(&failure);
            if (ok) {
                gathered_.append(line).push_back('\n');
                ++gatheredLines_;
                ok = gathered_.size() < kBatchBuffer || writeGathered(&failure);
            }
            if (ok)
                return true;
        } else {
            struct stat st;
            if (fstat(fileno(stream_.get()), &st) == 0)
                wholeLinesEnd_ = static_cast<uint64_t>(st.st_size);
            FILE *stream = stream_.get();
            bool ok = fwrite_unlocked(line.data(), 1, line.size(), stream) == line.size() &&
                      putc_unlocked('\n', stream) != EOF && fflush(stream) == 0;
            if (ok) {
                expectedSize_ += line.size() + 1;
                ++linesWritten_;
                return true;
            }
            failure = failWrite(errno);
        }
    }
    if (reportFailures_)
        Logger::getInstance().log(Logger::ERROR, "Failed to write to file: " + failure);
    return false;
}

bool LogWriter::writeGathered(std::string *failure) {
    const int fd = fileno(stream_.get());
    std::size_t done = 0;
    int err = 0;
    while (done < gathered_.size()) {
        ssize_t n = ::write(fd, gathered_.data() + done, gathered_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (done == gathered_.size()) {
        linesWritten_ += gatheredLines_;
        gathered_.clear();
        gatheredLines_ = 0;
        return true;
    }
    // The lines that reached the file whole stay and are counted; the part
    // of a line after them is cut off, the rest is dropped.
    std::string_view landed(gathered_.data(), done);
    linesWritten_ += static_cast<uint64_t>(std::count(landed.begin(), landed.end(), '\n'));
    const std::size_t partial = done - (landed.rfind('\n') + 1);
    struct stat st;
    if (partial > 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) >= partial)
        while (ftruncate(fd, st.st_size - static_cast<off_t>(partial)) != 0 && errno == EINTR) {}
    gathered_.clear();
    gatheredLines_ = 0;
    recordError(err);
    *failure = lastError_;
    return false;
}

std::string LogWriter::failWrite(int err) {
    recordError(err);
    clearerr(stream_.get());
    dropPartialLine();
    return lastError_;
}

void LogWriter::dropPartialLine() {
    int fd = fileno(stream_.get());
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > wholeLinesEnd_ && ftruncate(fd, static_cast<off_t>(wholeLinesEnd_)) == 0 &&
        wholeLinesEnd_ < expectedSize_)
        expectedSize_ = wholeLinesEnd_;
}

bool LogWriter::flush() {
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        if (!stream_)
            return true;
        if (!checkEachLine_) {
            if (writeGathered(&failure))
                return true;
        } else {
            if (fflush(stream_.get()) == 0)
                return true;
            failure = failWrite(errno);
        }
    }
    if (reportFailures_)
        Logger::getInstance().log(Logger::ERROR, "Failed to write to file: " + failure);
    return false;
}

bool LogWriter::sync(std::string *error) {
    UniqueFd fd;
    {
        std::lock_guard lock(mutex_);
        if (!stream_)
            return true;
        // A descriptor of its own: the lock is not held while the disk is
        // waited for, and a reopen meanwhile cannot close it under us.
        fd.reset(::fcntl(fileno(stream_.get()), F_DUPFD_CLOEXEC, 0));
    }
    if (!fd) {
        *error = errorText(errno);
        return false;
    }
    int rc;
    while ((rc = ::fdatasync(fd.get())) != 0 && errno == EINTR) {}
    if (rc == 0 || errno == EINVAL || errno == EROFS)
        return true;
    *error = errorText(errno);
    return false;
}

bool LogWriter::currentFile(uint64_t *device, uint64_t *inode, uint64_t *size) const {
    std::lock_guard lock(mutex_);
    struct stat st;
    if (!stream_ || fstat(fileno(stream_.get()), &st) != 0)
        return false;
    *device = static_cast<uint64_t>(st.st_dev);
    *inode = static_cast<uint64_t>(st.st_ino);
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool LogWriter::truncateTo(uint64_t device, uint64_t inode, uint64_t size) {
    std::lock_guard lock(mutex_);
    struct stat st;
    if (!stream_ || fflush(stream_.get()) != 0 || fstat(fileno(stream_.get()), &st) != 0 ||
        static_cast<uint64_t>(st.st_dev) != device || static_cast<uint64_t>(st.st_ino) != inode ||
        ftruncate(fileno(stream_.get()), static_cast<off_t>(size)) != 0)
        return false;
    expectedSize_ = wholeLinesEnd_ = size;
    return true;
}

void LogWriter::closeFile() {
    flush();
    std::lock_guard lock(mutex_);
    stream_.reset();
}

}  // namespace vrex
