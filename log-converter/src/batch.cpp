#include "batch.h"

#include "line_splitter.h"
#include "log_converter.h"
#include "log_writer.h"
#include "logger.h"
#include "own_logs.h"
#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace vrex {

namespace {

// Small enough that a chunk is still in the cache when its lines are parsed.
constexpr size_t kChunk = 256u << 10;

void printError(const std::string &text) { writeAll(STDERR_FILENO, "vrex-log-converter: " + text + "\n"); }

// Takes the lines of the input: converts them, writes the events and counts.
// After a failed write it takes nothing more.
class LineSink {
public:
    LineSink(const std::string &inputName, LogWriter &writer, BatchCounts &counts)
        : converter_(LogConverter::getInstance()), inputName_(inputName), writer_(writer), counts_(counts) {}

    bool writeFailed() const { return writeFailed_; }

    void take(std::string_view line) {
        if (writeFailed_)
            return;
        ++counts_.linesRead;
        converter_.parseLineInto(line, result_);
        if (!result_.valid) {
            ++counts_.skipped;
            return;
        }
        uint64_t before = converter_.duplicateCount();
        if (!converter_.convertInto(result_, out_)) {
            if (converter_.duplicateCount() != before)
                ++counts_.duplicates;
            else
                ++counts_.skipped;
            return;
        }
        // Counted once written (the writer knows which lines reached the
        // file), at the end of the stream.
        if (!writer_.writeLine(out_))
            writeFailed_ = true;
    }

    void skipOverlong() {
        if (writeFailed_)
            return;
        ++counts_.linesRead;
        ++counts_.skipped;
        Logger::getInstance().log(Logger::WARN, overlongLineWarning(kMaxLineBytes, inputName_));
    }

private:
    LogConverter &converter_;
    const std::string &inputName_;
    LogWriter &writer_;
    BatchCounts &counts_;
    LogConverter::ParseResult result_;
    std::string out_;
    bool writeFailed_ = false;
};

// Opens the input for a sequential read; prints why it cannot be used.
UniqueFd openInput(const std::string &inputPath, struct stat *st) {
    UniqueFd fd(::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        printError("cannot open input " + inputPath + ": " + errorText(errno));
        return fd;
    }
    if (fstat(fd.get(), st) != 0) {
        printError("cannot examine input " + inputPath + ": " + errorText(errno));
        return UniqueFd();
    }
    if (S_ISDIR(st->st_mode)) {
        printError("cannot convert input " + inputPath + ": it is a directory");
        return UniqueFd();
    }
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

std::string summaryOf(const BatchCounts &counts) {
    return std::to_string(counts.linesRead) + " lines read, " + std::to_string(counts.eventsWritten) +
           " events written, " + std::to_string(counts.duplicates) + " duplicates, " + std::to_string(counts.skipped) +
           " skipped";
}

}  // namespace

bool convertStream(int fd, const std::string &inputName, LogWriter &writer, BatchCounts &counts, std::string *error) {
    const uint64_t writtenBefore = writer.linesWritten();
    const auto countWritten = [&] { counts.eventsWritten = writer.linesWritten() - writtenBefore; };
    LineSink sink(inputName, writer, counts);
    LineSplitter splitter;
    auto take = [&sink](std::string_view line) { sink.take(line); };
    auto drop = [&sink] { sink.skipOverlong(); };
    auto writeFailed = [&] {
        countWritten();
        if (error)
            *error = "cannot write " + writer.path() + ": " + writer.lastError();
        return false;
    };
    std::vector<char> buf(kChunk);
    for (;;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = errorText(errno);
            writer.flush();
            countWritten();
            return false;
        }
        if (n == 0)
            break;
        splitter.feed(std::string_view(buf.data(), static_cast<size_t>(n)), take, drop);
        if (sink.writeFailed())
            return writeFailed();
    }
    splitter.finish(take);
    if (sink.writeFailed() || !writer.flush())
        return writeFailed();
    countWritten();
    return true;
}

int runBatch(const std::string &inputPath, const std::string &outputPath) {
    Logger &logger = Logger::getInstance();
    struct stat in;
    UniqueFd input = openInput(inputPath, &in);
    if (!input)
        return 1;
    // Reading one of its own logs, the run would feed on what it writes.
    auto refuse = [&](const OwnLog &own) {
        if (own.kind == OwnLog::Output)
            printError("input " + inputPath + " and output " + outputPath + " are the same file");
        else
            printError("input " + inputPath + " is " + own.describe());
        return 1;
    };
    const auto device = static_cast<uint64_t>(in.st_dev), inode = static_cast<uint64_t>(in.st_ino);
    if (OwnLog own = ownLogNamedBy(inputPath, outputPath))
        return refuse(own);
    if (OwnLog own = ownLogWithId(device, inode, outputPath, nullptr))
        return refuse(own);
    LogWriter writer(outputPath, false);
    if (!writer.isOpen()) {
        printError("cannot open output " + outputPath + ": " + writer.lastError());
        return 1;
    }
    if (writer.writesTo(in.st_dev, in.st_ino))
        return refuse({OwnLog::Output, outputPath});

    logger.log(Logger::INFO, "Batch conversion of " + inputPath + " into " + outputPath);
    BatchCounts counts;
    std::string error;
    bool ok = convertStream(input.get(), inputPath, writer, counts, &error);
    writer.closeFile();
    if (!ok) {
        printError(inputPath + ": " + error + " (after " + summaryOf(counts) + ")");
        logger.log(Logger::ERROR, "Batch conversion of " + inputPath + " failed: " + error);
        return 1;
    }
    logger.log(Logger::INFO, "Batch conversion done: " + summaryOf(counts));
    printError(inputPath + ": " + summaryOf(counts));
    return 0;
}

}  // namespace vrex
