// After a crash the daemon converts the lines after its saved position again.
// The events of those lines that the crashed run had already written are in
// the output, right after the size saved with the position: this compares
// each event converted again with the bytes there, so that what the output
// holds is not written a second time and nothing it lacks is skipped.
#pragma once

#include "position.h"
#include "sys_util.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace vrex {

class OutputReplay {
public:
    enum class Match {
        Held,      // the output holds the event there: the cursor moved past it
        Fragment,  // the output ends there in the start of the event: a write
                   // the crash cut short (fragmentMark() says where)
        NotHeld    // anything else: the output does not hold it
    };

    // Finds what the output holds after mark: the file of the mark (at
    // outputPath, or beside it after a rotation) from mark.size on, then,
    // when it was rotated, the file now at outputPath from its beginning.
    // Nothing when the file is gone or shorter than mark.size (truncated).
    // Returns what was found, for the diagnostic log.
    std::string begin(const OutputMark &mark, const std::string &outputPath);

    // Compares event (without its newline) with the output at the cursor.
    Match compare(std::string_view event);
    // The cursor has passed everything the output holds.
    bool exhausted() const;
    // Where the events compared so far end, as a mark for the next save;
    // false when no file is being compared.
    bool mark(OutputMark *mark) const;
    // After Fragment: the file and offset where the unfinished line starts.
    const OutputMark &fragmentMark() const { return fragment_; }
    std::uint64_t heldEvents() const { return held_; }
    void clear() { segments_.clear(); }

private:
    struct Segment {
        UniqueFd fd;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::uint64_t offset = 0;  // the cursor in this file
        std::uint64_t end = 0;     // its size
    };
    // A regular file opened without blocking; false when it is none.
    static bool openSegment(const std::string &path, Segment *segment);

    std::deque<Segment> segments_;
    std::string bytes_;
    OutputMark fragment_;
    std::uint64_t held_ = 0;
};

}  // namespace vrex
