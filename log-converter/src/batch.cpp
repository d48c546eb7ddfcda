#include "batch.h"

#include "log_converter.h"
#include "log_writer.h"
#include "logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace vrex {

namespace {

// Small enough that a chunk is still in the cache when its lines are parsed.
constexpr size_t kChunk = 256u << 10;

std::string errorText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

void printError(const std::string &text) {
    std::string line = "vrex-log-converter: " + text + "\n";
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

class LineSink {
public:
    LineSink(LogWriter &writer, BatchCounts &counts)
        : converter_(LogConverter::getInstance()), writer_(writer), counts_(counts) {}

    // False when the event could not be written.
    bool take(std::string_view line) {
        ++counts_.linesRead;
        converter_.parseLineInto(line, result_);
        if (!result_.valid) {
            ++counts_.skipped;
            return true;
        }
        uint64_t before = converter_.duplicateCount();
        if (!converter_.convertInto(result_, out_)) {
            if (converter_.duplicateCount() != before)
                ++counts_.duplicates;
            else
                ++counts_.skipped;
            return true;
        }
        if (!writer_.writeLine(out_))
            return false;
        ++counts_.eventsWritten;
        return true;
    }

    void skipOverlong() {
        ++counts_.linesRead;
        ++counts_.skipped;
        Logger::getInstance().log(Logger::WARN, "Skipping line " + std::to_string(counts_.linesRead) +
                                                    ": longer than " + std::to_string(kMaxBatchLine) + " bytes");
    }

private:
    LogConverter &converter_;
    LogWriter &writer_;
    BatchCounts &counts_;
    LogConverter::ParseResult result_;
    std::string out_;
};

}  // namespace

bool convertStream(int fd, LogWriter &writer, BatchCounts &counts, std::string *error) {
    LineSink sink(writer, counts);
    std::vector<char> buf(kChunk);
    size_t start = 0;  // first byte of the current (incomplete) line
    size_t scan = 0;   // bytes before this hold no newline of the current line
    size_t filled = 0;
    bool discarding = false;  // inside a line that was too long to keep
    auto writeFailed = [&] {
        if (error)
            *error = "cannot write " + writer.path() + ": " + writer.lastError();
        return false;
    };

    for (;;) {
        if (filled == buf.size()) {
            if (start > 0) {
                std::memmove(buf.data(), buf.data() + start, filled - start);
                filled -= start;
                scan -= start;
                start = 0;
            } else if (buf.size() <= kMaxBatchLine) {
                buf.resize(buf.size() * 2);
            } else {
                sink.skipOverlong();
                discarding = true;
                start = scan = filled = 0;
            }
        }
        ssize_t n = ::read(fd, buf.data() + filled, buf.size() - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = errorText(errno);
            return false;
        }
        if (n == 0)
            break;
        filled += static_cast<size_t>(n);

        const char *base = buf.data();
        while (scan < filled) {
            const void *nl = std::memchr(base + scan, '\n', filled - scan);
            if (!nl) {
                scan = filled;
                break;
            }
            size_t end = static_cast<size_t>(static_cast<const char *>(nl) - base);
            if (discarding) {
                discarding = false;
            } else if (end - start > kMaxBatchLine) {
                sink.skipOverlong();
            } else if (!sink.take(std::string_view(base + start, end - start))) {
                return writeFailed();
            }
            start = scan = end + 1;
        }
        if (start == filled)
            start = scan = filled = 0;
        if (discarding) {
            start = scan = filled = 0;
        }
    }
    if (filled > start && !discarding) {
        if (filled - start > kMaxBatchLine)
            sink.skipOverlong();
        else if (!sink.take(std::string_view(buf.data() + start, filled - start)))
            return writeFailed();
    }
    if (!writer.flush())
        return writeFailed();
    return true;
}

namespace {

// Closes the descriptor when the run ends, whichever way it ends.
class InputFd {
public:
    explicit InputFd(int fd) : fd_(fd) {}
    ~InputFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    InputFd(const InputFd &) = delete;
    InputFd &operator=(const InputFd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

int runBatch(const std::string &inputPath, const std::string &outputPath) {
    Logger &logger = Logger::getInstance();
    InputFd input(::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    int fd = input.get();
    if (fd < 0) {
        printError("cannot open input " + inputPath + ": " + errorText(errno));
        return 1;
    }
    struct stat in;
    if (fstat(fd, &in) != 0) {
        printError("cannot examine input " + inputPath + ": " + errorText(errno));
        return 1;
    }
    if (S_ISDIR(in.st_mode)) {
        printError("cannot convert input " + inputPath + ": it is a directory");
        return 1;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    LogWriter writer(outputPath, false);
    if (!writer.isOpen()) {
        printError("cannot open output " + outputPath + ": " + writer.lastError());
        return 1;
    }
    struct stat out;
    if (stat(outputPath.c_str(), &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino) {
        printError("input " + inputPath + " and output " + outputPath + " are the same file");
        return 1;
    }

    logger.log(Logger::INFO, "Batch conversion of " + inputPath + " into " + outputPath);
    BatchCounts counts;
    std::string error;
    bool ok = convertStream(fd, writer, counts, &error);
    writer.closeFile();

    std::string summary = std::to_string(counts.linesRead) + " lines read, " + std::to_string(counts.eventsWritten) +
                          " events written, " + std::to_string(counts.duplicates) + " duplicates, " +
                          std::to_string(counts.skipped) + " skipped";
    if (!ok) {
        printError(inputPath + ": " + error + " (after " + summary + ")");
        logger.log(Logger::ERROR, "Batch conversion of " + inputPath + " failed: " + error);
        return 1;
    }
    logger.log(Logger::INFO, "Batch conversion done: " + summary);
    printError(inputPath + ": " + summary);
    return 0;
}

}  // namespace vrex
