// Saves the follower's position on a thread of its own: first the output is
// made durable (a sync of the event log), then the position file is
// replaced. Both wait for the disk, so the monitor thread only hands the
// position over and goes back to reading lines.
#pragma once

#include "position.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vrex {

class PositionSaver {
public:
    // Makes durable everything the output holds for the lines before the
    // position handed over; false, with *error set, when it cannot.
    using MakeDurable = std::function<bool(std::string *error)>;
    // failing: an ERROR ("Cannot save the position: ..."), said once until a
    // save works again, which is an INFO.
    using Report = std::function<void(bool failing, const std::string &message)>;

    PositionSaver(std::string path, MakeDurable makeDurable, Report report);
    ~PositionSaver();
    PositionSaver(const PositionSaver &) = delete;
    PositionSaver &operator=(const PositionSaver &) = delete;

    bool start(std::string *error);
    // Hands a position over; one not yet taken up is replaced by it (the
    // newer one covers more).
    void post(SavedPosition saved);
    // Saves what was handed over last, then ends the thread. Idempotent.
    void finish();
    // The last save failed (or its sync did): the position file is behind.
    bool behind() const { return behind_.load(std::memory_order_relaxed); }

private:
    void run();
    void save(const SavedPosition &saved);

    const std::string path_;
    MakeDurable makeDurable_;
    Report report_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<SavedPosition> pending_;
    bool finishing_ = false;
    std::thread thread_;
    bool failing_ = false;  // saver thread only
    std::atomic<bool> behind_{false};
};

}  // namespace vrex
