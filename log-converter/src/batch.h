// Batch mode: converts a whole audit log, from its start, into the event log.
#pragma once

#include <cstdint>
#include <string>

namespace vrex {

class LogWriter;

struct BatchCounts {
    uint64_t linesRead = 0;
    uint64_t eventsWritten = 0;  // event lines that reached the output whole
    uint64_t duplicates = 0;
    uint64_t skipped = 0;  // lines that are not container events, cannot be parsed, or are too long
};

// Reads fd to its end, line by line (a last line without a newline included),
// through the converter into the writer. Lines longer than the daemon's limit
// are skipped with its warning, which names inputName. False on a read or
// write failure, with the reason in *error; counts hold what was done until
// then.
bool convertStream(int fd, const std::string &inputName, LogWriter &writer, BatchCounts &counts, std::string *error);

// The whole batch run with its messages on standard error; returns the exit
// status (0 done, 1 the input or output could not be used).
int runBatch(const std::string &inputPath, const std::string &outputPath);

}  // namespace vrex
