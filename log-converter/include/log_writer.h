// Appends event lines to the container event log, following the file when
// somebody else truncates, rotates or removes it.
#pragma once

#include "sys_util.h"

#include <sys/stat.h>
#include <sys/types.h>

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
    // disk, the stream is fully buffered, and lines reach the file at flush()
    // or closeFile() rather than one by one.
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

private:
    void recordError(int err);
    // After a failed write the file may end in part of a line; cuts it back
    // so that the next line does not run on from the fragment. Mutex held.
    void dropPartialLine();
    // Sets *keep just past the last newline that a buffered writer's failed
    // flush left in the file after wholeLinesEnd_ (unchanged when there is
    // none). False when the file could not be read back.
    bool endOfLastWholeLine(int fd, const struct stat &st, uint64_t size, uint64_t *keep) const;
    // After a failed write or flush (mutex held): records errno's text, clears
    // the stream's error, cuts off a partly written line; returns the text.
    std::string failWrite(int err);

    const std::string path_;
    UniqueFile stream_;
    mutable std::mutex mutex_;
    std::string lastError_;
    ino_t inode_ = 0;
    uint64_t expectedSize_ = 0;
    // Size of the file before the bytes whose write may still fail: taken
    // before each line when lines are checked, at open otherwise.
    uint64_t wholeLinesEnd_ = 0;
    const bool checkEachLine_;
};

}  // namespace vrex
