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

bool LogWriter::openFile(bool append) {
    const char *letter = append ? "a" : "w";
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        stream_.reset();
        stream_.reset(fopen(path_.c_str(), append ? "ae" : "we"));
        if (!stream_) {
            recordError(errno);
            failure = lastError_;
        } else {
            if (checkEachLine_)
                setvbuf(stream_.get(), nullptr, _IOLBF, BUFSIZ);
            else
                setvbuf(stream_.get(), nullptr, _IOFBF, kBatchBuffer);
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
        struct stat st;
        if (checkEachLine_ && fstat(fileno(stream_.get()), &st) == 0)
            wholeLinesEnd_ = static_cast<uint64_t>(st.st_size);
        FILE *stream = stream_.get();
        bool ok =
            fwrite_unlocked(line.data(), 1, line.size(), stream) == line.size() && putc_unlocked('\n', stream) != EOF;
        if (ok && checkEachLine_)
            ok = fflush(stream) == 0;
        if (ok) {
            expectedSize_ += line.size() + 1;
            return true;
        }
        failure = failWrite(errno);
    }
    Logger::getInstance().log(Logger::ERROR, "Failed to write to file: " + failure);
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
    if (size <= wholeLinesEnd_)
        return;
    uint64_t keep = wholeLinesEnd_;
    // Whole lines may have reached the file before the failing block of a
    // buffered writer: those are kept.
    if (!checkEachLine_ && !endOfLastWholeLine(fd, st, size, &keep))
        return;  // could not read it all: leave the file as it is
    if (keep < size && ftruncate(fd, static_cast<off_t>(keep)) == 0 && keep < expectedSize_)
        expectedSize_ = keep;
}

bool LogWriter::endOfLastWholeLine(int fd, const struct stat &st, uint64_t size, uint64_t *keep) const {
    // The stream is write-only, so the same file is opened again for reading.
    UniqueFd reader(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat rst;
    if (!reader || fstat(reader.get(), &rst) != 0 || rst.st_ino != st.st_ino || rst.st_dev != st.st_dev)
        return false;
    char block[4096];
    for (uint64_t end = size; end > wholeLinesEnd_;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof block, end - wholeLinesEnd_));
        if (pread(reader.get(), block, n, static_cast<off_t>(end - n)) != static_cast<ssize_t>(n))
            return false;
        if (const void *nl = memrchr(block, '\n', n)) {
            *keep = end - n + static_cast<uint64_t>(static_cast<const char *>(nl) - block) + 1;
            return true;
        }
        end -= n;
    }
    return true;  // no newline after the last whole line: *keep stays there
}

bool LogWriter::flush() {
    std::string failure;
    {
        std::lock_guard lock(mutex_);
        if (!stream_ || fflush(stream_.get()) == 0)
            return true;
        failure = failWrite(errno);
    }
    Logger::getInstance().log(Logger::ERROR, "Failed to write to file: " + failure);
    return false;
}

void LogWriter::closeFile() {
    std::lock_guard lock(mutex_);
    stream_.reset();
}

}  // namespace vrex
