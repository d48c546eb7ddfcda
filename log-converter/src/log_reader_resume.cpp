// Where the follower starts, and the saving of where it has come to. A
// saved position is trusted only when its file still holds the content the
// position was taken in: the device and inode of a deleted file are reused,
// and a copy-and-truncate rotation keeps them while replacing the content.
#include "log_reader.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vrex {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void LogReader::removeStaleTemporaries() {
    if (options_.positionFile.empty())
        return;
    for (const std::string &name : vrex::removeStaleTemporaries(options_.positionFile))
        log(Level::Info, "Removed " + name + ", left beside " + options_.positionFile + " by an interrupted save");
}

void LogReader::openInitial() {
    std::optional<SavedPosition> saved = loadSavedPosition();
    OpenFile atPath;
    const bool havePath = openAtPath(&atPath);
    bool trusted = false;
    if (saved && havePath && saved->position.device == atPath.device && saved->position.inode == atPath.inode) {
        current_ = std::move(atPath);
        trusted = resumeAt(*saved, path_);
    } else if (saved) {
        if (!resumeAfterRotation(*saved, atPath, havePath, &trusted))
            return;
    } else if (havePath) {
        startAtEnd(std::move(atPath));
    } else {
        waitForPath();
        return;
    }
    savedPosition_ = {current_.device, current_.inode, offset_};
    positionSaved_ = trusted && saved->position == savedPosition_;
    savedReplay_ = positionSaved_ && saved->replay.has_value();
    if (trusted && saved->replay && options_.resume)
        options_.resume(*saved->replay);
    backend_->follow(current_.fd.get());
}

std::optional<SavedPosition> LogReader::loadSavedPosition() {
    if (options_.positionFile.empty())
        return std::nullopt;
    std::string why;
    auto saved = loadPosition(options_.positionFile, &why);
    if (!why.empty())
        log(Level::Warn, "Ignoring the saved position: " + why);
    return saved;
}

bool LogReader::resumeAt(const SavedPosition &saved, const std::string &name) {
    const std::uint64_t savedOffset = saved.position.offset;
    struct stat st {};
    ::fstat(current_.fd.get(), &st);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::string why;
    ContentMatch match = ContentMatch::Same;
    if (saved.fingerprint) {
        match = compareContent(current_.fd.get(), savedOffset, *saved.fingerprint, &why);
    } else if (savedOffset > size) {
        // The older form knows no content: only its length can tell.
        match = ContentMatch::Different;
        why = "it is shorter than the saved position";
    }
    const std::string offsetText = " (offset " + std::to_string(savedOffset) + ")";
    if (match == ContentMatch::Same) {
        offset_ = savedOffset;
        // A run that started inside a line saved that point.
        skipIfInsideLine();
        log(Level::Info, "Following " + name + " from the saved position" + offsetText);
        return true;
    }
    truncations_.fetch_add(1, std::memory_order_relaxed);
    if (match == ContentMatch::LostTail) {
        offset_ = size;
        skipIfInsideLine();
        log(Level::Warn, name + " is shorter than the saved position" + offsetText +
                             " but begins as it did: its writer lost its end; following it from its end (offset " +
                             std::to_string(size) + ")");
        return false;
    }
    offset_ = 0;
    log(Level::Info, "Following " + name + " from its beginning: " + why);
    return false;
}

bool LogReader::resumeAfterRotation(const SavedPosition &saved, OpenFile &atPath, bool havePath, bool *trusted) {
    // Rotated while the daemon was not running: what was written to the old
    // file after the saved offset, and all of the new file, are due.
    const FilePosition &position = saved.position;
    std::string oldName;
    if (openSavedFile(position, &oldName)) {
        *trusted = resumeAt(saved, oldName);
        if (havePath)
            enqueue(std::move(atPath), "at " + path_);
        log(Level::Info, "Input file " + path_ + " was rotated since the position was saved; " +
                             (havePath ? "its new file follows from its beginning once " + oldName + " is idle"
                                       : "waiting for a new file there after " + oldName));
        return true;
    }
    log(Level::Warn, "The file of the saved position (device " + std::to_string(position.device) + ", inode " +
                         std::to_string(position.inode) + ") is no longer beside " + path_ +
                         ": lines written to it after offset " + std::to_string(position.offset) +
                         " could not be recovered");
    if (!havePath) {
        waitForPath();
        return false;
    }
    current_ = std::move(atPath);
    offset_ = 0;
    log(Level::Info, "Following " + path_ + " from its beginning (offset 0)");
    return true;
}

bool LogReader::openSavedFile(const FilePosition &saved, std::string *name) {
    std::string why;
    auto found = findSavedFile(path_, saved.device, saved.inode, &why);
    if (!why.empty())
        log(Level::Warn, "Cannot look for the file of the saved position: " + why);
    // The name may have been reused between the look and the open.
    OpenFile file;
    if (!found || !openFile(*found, &file) || file.device != saved.device || file.inode != saved.inode)
        return false;
    current_ = std::move(file);
    *name = *found;
    return true;
}

void LogReader::startAtEnd(OpenFile file) {
    current_ = std::move(file);
    struct stat st {};
    ::fstat(current_.fd.get(), &st);
    offset_ = static_cast<std::uint64_t>(st.st_size);
    // Starting inside a line would hand on its second half as a line.
    skipIfInsideLine();
    log(Level::Info, "Following " + path_ + " from its end (offset " + std::to_string(offset_) + ")");
}

void LogReader::waitForPath() {
    log(Level::Info, "Waiting for " + path_ + " to appear");
    backend_->follow(-1);
}

void LogReader::skipIfInsideLine() {
    char last = '\n';
    if (offset_ > 0 && ::pread(current_.fd.get(), &last, 1, static_cast<off_t>(offset_ - 1)) == 1 && last != '\n')
        splitter_.skipToNextLine();
}

bool LogReader::positionIsSaved(const FilePosition &position) const {
    return positionSaved_ && savedPosition_ == position && !(saver_ && saver_->behind());
}

void LogReader::maybeSavePosition() {
    if (Clock::now() - lastSave_ >= options_.saveInterval)
        savePositionNow(false);
}

void LogReader::savePositionNow(bool final) {
    if (!saver_ || !current_.fd)
        return;
    SavedPosition saved;
    saved.position = {current_.device, current_.inode, offset_ - splitter_.pending()};
    // Taken here, between two lines, so that it matches the position.
    if (options_.checkpoint)
        saved.replay = options_.checkpoint(final);
    // Saved again unchanged only to drop a replay state at a clean stop.
    if (positionIsSaved(saved.position) && (!savedReplay_ || saved.replay))
        return;
    lastSave_ = Clock::now();
    ContentFingerprint fingerprint;
    // Fails only when the file became shorter than the position: the
    // truncation is noticed on the next read, and saved after it.
    if (!takeFingerprint(current_.fd.get(), saved.position.offset, &fingerprint))
        return;
    saved.fingerprint = fingerprint;
    savedPosition_ = saved.position;
    savedReplay_ = saved.replay.has_value();
    positionSaved_ = true;
    saver_->post(std::move(saved));
}

}  // namespace vrex
