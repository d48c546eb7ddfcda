// The program never reads what it writes. An input that is one of its own
// logs feeds on itself: each ERROR about a line copies that line into the
// file being read, and the disk fills. Batch mode and the daemon refuse such
// an input at the start, and the follower refuses such a file at any later
// rotation.
#pragma once

#include <cstdint>
#include <string>

namespace vrex {

class LogWriter;

struct OwnLog {
    enum Kind { None, Diagnostic, Output };
    Kind kind = None;
    std::string path;  // the log's configured name

    explicit operator bool() const { return kind != None; }
    // "the diagnostic log <path>" or "the output log <path>".
    std::string describe() const;
};

// Which of the program's logs input is: it names one of them (the same name
// once resolved) or is the same file (device and inode, after symbolic
// links). outputLog is the configured event log.
OwnLog ownLogNamedBy(const std::string &input, const std::string &outputLog);

// Which of them the open file with this device and inode is: compared with
// the files at the logs' names and with those the logger and the writer
// (when given) have open.
OwnLog ownLogWithId(std::uint64_t device, std::uint64_t inode, const std::string &outputLog, const LogWriter *writer);

}  // namespace vrex
