#include "position_saver.h"

#include <system_error>
#include <utility>

namespace vrex {

PositionSaver::PositionSaver(std::string path, MakeDurable makeDurable, Report report)
    : path_(std::move(path)), makeDurable_(std::move(makeDurable)), report_(std::move(report)) {}

PositionSaver::~PositionSaver() { finish(); }

bool PositionSaver::start(std::string *error) {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &e) {
        *error = std::string("cannot start the thread that saves the position: ") + e.what();
        return false;
    }
    return true;
}

void PositionSaver::post(SavedPosition saved) {
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(saved);
    }
    wake_.notify_one();
}

void PositionSaver::finish() {
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
    // Never started (or already finished): whatever is left is saved here.
    std::optional<SavedPosition> left = std::exchange(pending_, std::nullopt);
    if (left)
        save(*left);
}

void PositionSaver::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_ || finishing_; });
        if (!pending_)
            return;
        SavedPosition saved = std::move(*pending_);
        pending_.reset();
        lock.unlock();
        save(saved);
        lock.lock();
    }
}

void PositionSaver::save(const SavedPosition &saved) {
    std::string why;
    // The events before the position reach the disk before the position
    // that says they are written does.
    bool ok = !makeDurable_ || makeDurable_(&why);
    if (!ok)
        why = "the event log could not be synced: " + why;
    else
        ok = savePosition(path_, saved, &why);
    behind_.store(!ok, std::memory_order_relaxed);
    if (!ok) {
        if (!failing_ && report_)
            report_(true, "Cannot save the position: " + why);
        failing_ = true;
        return;
    }
    if (failing_ && report_)
        report_(false, "Saving the position works again");
    failing_ = false;
}

}  // namespace vrex
