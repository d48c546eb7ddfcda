// Where the follower's lines go: the converter, then the writer.
//
// After a crash it first replays: the converter's duplicate cache is the one
// saved with the position, so the lines after it are decided as the crashed
// run decided them, and an event the output already holds (written by the
// crashed run after its last save) is not written again. The first event
// the output does not hold ends the replay; from there on the start is an
// ordinary one (the cache starts empty).
//
// An event that cannot be written (a full disk) is not dropped: the line
// waits, and is retried after a growing pause, until it is written or the
// daemon stops (the line is then read again by the next run).
#pragma once

#include "log_converter.h"
#include "log_writer.h"
#include "output_replay.h"
#include "position.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vrex {

class EventSink {
public:
    struct Counters {
        std::atomic<std::uint64_t> written{0};
        std::atomic<std::uint64_t> duplicates{0};
        // Events converted again after a crash and found in the output.
        std::atomic<std::uint64_t> alreadyWritten{0};
    };
    // Waits between two attempts at a write; false when the daemon stops.
    using Pause = std::function<bool(std::chrono::milliseconds)>;

    EventSink(LogWriter &writer, std::string outputLog);

    void setPause(Pause pause) { pause_ = std::move(pause); }

    // Before the first line: the state saved with the trusted position.
    void resume(const ReplayState &state);

    // On the monitor thread, for every line; false when the line's event
    // could not be written before the daemon was asked to stop.
    bool take(std::string_view line);
    // On the monitor thread, between two lines: what the position saved now
    // needs for a replay (nothing at a clean stop, unless a replay that the
    // output still holds events for is under way).
    std::optional<ReplayState> checkpoint(bool final);

    // Any thread.
    bool makeDurable(std::string *error) { return writer_.sync(error); }
    bool reopen();
    // Syncs and closes the event log.
    void close();

    const Counters &counters() const { return counters_; }

private:
    // The replay's verdict on event_: true when the output holds it.
    bool alreadyWritten();
    void endReplay();
    // Writes event_, waiting out a failure; false when stopped meanwhile.
    bool write();
    bool tryWrite();

    LogConverter &converter_;
    LogWriter &writer_;
    const std::string outputLog_;
    Pause pause_;
    // Held around each write and the reopen on SIGHUP, so that the main
    // thread never reopens the writer while the monitor thread uses it.
    std::mutex writerMutex_;
    Counters counters_;

    bool replaying_ = false;
    OutputReplay replay_;
    // A write failure is under way since this time.
    bool outage_ = false;
    std::chrono::steady_clock::time_point outageStart_{};

    LogConverter::ParseResult parsed_;
    std::string event_;
};

}  // namespace vrex
