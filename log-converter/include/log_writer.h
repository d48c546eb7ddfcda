// Appends event lines to the container event log, following the file when
// somebody else truncates, rotates or removes it.
#pragma once

#include "sys_util.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace vrex {

class LogWriter {
public:
    // Opens the path for appending; a failed open leaves the writer without a
    // stream until a later reopen succeeds. With checkEachLine false (filling
    // a file nobody else touches) each line skips the check of the file on
    // disk, lines are gathered in a buffer of about 1 MiB, and they reach the
    // file when it is full, at flush() or at closeFile() rather than one by
    // one.
    explicit LogWriter(std::string path, bool checkEachLine = true);
    ~LogWriter();

    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    bool openFile(bool append);
    bool checkAndReopen();
    bool writeLine(std::string_view line);
    // False when buffered lines could not be written.
    bool flush();
    void closeFile();

    bool isOpen() const;
    std::string lastError() const;
    const std::string &path() const { return path_; }
    // Lines known to be in the file, whole: those written (and, when
    // buffered, flushed) since construction.
    uint64_t linesWritten() const;
    // True when the open file is the file with this device and inode.
    bool writesTo(dev_t device, ino_t inode) const;

    // Makes what was written durable (fdatasync), without holding up
    // writes meanwhile. A stream that cannot be synced (a pipe, a terminal)
    // counts as durable. False, with *error set, when the sync fails.
    bool sync(std::string *error);
    // The open file's device, inode and size; false when none is open.
    bool currentFile(uint64_t *device, uint64_t *inode, uint64_t *size) const;
    // Cuts the open file back to size when it is the file with this device
    // and inode (the rest of a line a killed run did not finish); false
    // otherwise.
    bool truncateTo(uint64_t device, uint64_t inode, uint64_t size);
    // Off: failed opens and writes are not logged (their text stays in
    // lastError()); the caller reports them. On by default.
    void setFailureReports(bool on) { reportFailures_.store(on, std::memory_order_relaxed); }

private:
    void recordError(int err);
    // After a failed write the file may end in part of a line; cuts it back
    // so that the next line does not run on from the fragment. Mutex held.
    void dropPartialLine();
    // After a failed write or flush (mutex held): records errno's text, clears
    // the stream's error, cuts off a partly written line; returns the text.
    std::string failWrite(int err);
    // Buffered writing (mutex held): writes the gathered lines out; false,
    // with the error recorded and the lines that did not reach the file
    // whole dropped, when that fails.
    bool writeGathered(std::string *failure);

    const std::string path_;
    UniqueFile stream_;
    mutable std::mutex mutex_;
    std::string lastError_;
    ino_t inode_ = 0;
    uint64_t expectedSize_ = 0;
    // Size of the file before the bytes whose write may still fail: taken
    // before each line when lines are checked.
    uint64_t wholeLinesEnd_ = 0;
    const bool checkEachLine_;
    // Buffered writing: the lines not yet written, and how many they are.
    std::string gathered_;
    uint64_t gatheredLines_ = 0;
    uint64_t linesWritten_ = 0;
    std::atomic<bool> reportFailures_{true};
};

}  // namespace vrex
