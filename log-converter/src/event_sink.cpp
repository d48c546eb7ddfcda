#include "event_sink.h"

#include "logger.h"

#include <algorithm>
#include <cstdio>

namespace vrex {

namespace {

using Clock = std::chrono::steady_clock;

// The pause between two attempts at a write that failed doubles from the
// first to the longest, so that a full disk costs little and writing
// resumes soon after room is made.
constexpr std::chrono::milliseconds kFirstRetry{50};
constexpr std::chrono::milliseconds kLongestRetry{2000};

void log(Logger::Level level, const std::string &message) { Logger::getInstance().log(level, message); }

}  // namespace

EventSink::EventSink(LogWriter &writer, std::string outputLog)
    : converter_(LogConverter::getInstance()), writer_(writer), outputLog_(std::move(outputLog)) {}

void EventSink::resume(const ReplayState &state) {
    if (!converter_.restoreCache(state.cache)) {
        log(Logger::WARN, "Ignoring the duplicate cache saved with the position: it holds a digest twice");
        return;
    }
    replaying_ = true;
    const std::string found = replay_.begin(state.output, outputLog_);
    log(Logger::INFO, "The last run did not stop cleanly: converting the lines after the saved position again, "
                      "with the duplicate cache it had there; " +
                          found);
}

bool EventSink::take(std::string_view line) {
    converter_.parseLineInto(line, parsed_);
    if (!converter_.convertInto(parsed_, event_)) {
        // A valid record that renders nothing was a repeat.
        if (parsed_.valid)
            counters_.duplicates.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (replaying_ && alreadyWritten()) {
        counters_.alreadyWritten.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    return write();
}

bool EventSink::alreadyWritten() {
    switch (replay_.compare(event_)) {
    case OutputReplay::Match::Held:
        return true;
    case OutputReplay::Match::Fragment: {
        // The crashed run's write of this event was cut short: its start is
        // cut off and the event written whole.
        const OutputMark &at = replay_.fragmentMark();
        std::lock_guard lock(writerMutex_);
        if (writer_.truncateTo(at.device, at.inode, at.size))
            log(Logger::INFO, "Cut off the unfinished last line of " + outputLog_ +
                                  " left by the last run (at offset " + std::to_string(at.size) + ")");
        break;
    }
    case OutputReplay::Match::NotHeld:
        break;
    }
    endReplay();
    return false;
}

void EventSink::endReplay() {
    replaying_ = false;
    log(Logger::INFO, "Replay after the unclean stop done: " + std::to_string(replay_.heldEvents()) +
                          " events were already in the output log; writing from here on");
    replay_.clear();
    // From here the run is an ordinary start: the cache starts empty, and
    // this line, the first of it, is decided again by the empty cache.
    converter_.startAfresh();
    converter_.convertInto(parsed_, event_);
}

std::optional<ReplayState> EventSink::checkpoint(bool final) {
    const bool outputHoldsMore = replaying_ && !replay_.exhausted();
    if (final && !outputHoldsMore)
        return std::nullopt;
    ReplayState state;
    if (!replaying_ || !replay_.mark(&state.output)) {
        std::lock_guard lock(writerMutex_);
        if (!writer_.currentFile(&state.output.device, &state.output.inode, &state.output.size))
            return std::nullopt;
    }
    state.cache = converter_.cacheState();
    return state;
}

bool EventSink::tryWrite() {
    std::lock_guard lock(writerMutex_);
    return writer_.writeLine(event_);
}

bool EventSink::write() {
    auto pause = kFirstRetry;
    for (;;) {
        if (tryWrite()) {
            counters_.written.fetch_add(1, std::memory_order_relaxed);
            if (outage_) {
                outage_ = false;
                auto seconds = std::chrono::duration<double>(Clock::now() - outageStart_).count();
                char took[32];
                std::snprintf(took, sizeof took, "%.1f", seconds);
                log(Logger::INFO, "Writing to " + outputLog_ + " works again after " + took +
                                      " s; the events held back are written in order");
            }
            return true;
        }
        if (!outage_) {
            outage_ = true;
            outageStart_ = Clock::now();
            log(Logger::WARN, "Cannot write to " + outputLog_ + ": " + writer_.lastError() +
                                  "; holding the events back in the audit log and retrying until it works again");
        }
        if (!pause_ || !pause_(pause)) {
            log(Logger::INFO, "Stopping while " + outputLog_ +
                                  " cannot be written: the saved position is that of the last event written");
            return false;
        }
        pause = std::min(pause * 2, kLongestRetry);
    }
}

bool EventSink::reopen() {
    std::lock_guard lock(writerMutex_);
    return writer_.openFile(true);
}

void EventSink::close() {
    std::string why;
    if (!writer_.sync(&why))
        log(Logger::ERROR, "Cannot sync " + outputLog_ + ": " + why);
    std::lock_guard lock(writerMutex_);
    writer_.closeFile();
}

}  // namespace vrex
