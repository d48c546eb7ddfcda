// The follower's monitor loop. Each wake: read the current file to its end
// (in slices, re-examining the path between them), notice truncation (size
// below our offset) and rotation (another inode at the path). A rotated file
// is read on until it has been idle for rotationIdle after its successor
// appeared; successors wait in a queue, each held open so that nothing
// written to them is lost even if they are renamed or removed meanwhile.
#include "log_reader.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace vrex {

namespace {

using Clock = std::chrono::steady_clock;

// Lines are delivered in slices of this size, so that the path is looked at
// often enough to catch a short-lived file even while a large read is being
// worked through.
constexpr std::size_t kSliceBytes = 256 * 1024;

// Converts a file's modification time into the monotonic clock, never later
// than now (a wall clock set back must not hold a rotation up).
Clock::time_point modificationToSteady(const struct stat &st) {
    timespec wall{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    auto nowWall = std::chrono::seconds(wall.tv_sec) + std::chrono::nanoseconds(wall.tv_nsec);
    auto mtime = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
    auto age = nowWall - mtime;
    if (age.count() < 0)
        age = decltype(age)::zero();
    return Clock::now() - std::chrono::duration_cast<Clock::duration>(age);
}

}  // namespace

// ------------------------------------------------------------------- LogReader

LogReader::LogReader(std::string path, LineCallback onLine, Options options)
    : path_(std::move(path)), onLine_(std::move(onLine)), options_(std::move(options)), splitter_(options_.maxLine) {}

LogReader::LogReader(std::string path, LineCallback onLine)
    : LogReader(std::move(path), std::move(onLine), Options{}) {}

LogReader::~LogReader() { stop(); }

void LogReader::log(Level level, const std::string &message) const {
    if (options_.diagnostics)
        options_.diagnostics(level, message);
}

const char *LogReader::backendName() const { return backend_ ? backend_->name() : "none"; }

LogReader::Stats LogReader::stats() const {
    Stats s;
    s.linesRead = linesRead_.load(std::memory_order_relaxed);
    s.linesDropped = linesDropped_.load(std::memory_order_relaxed);
    s.rotations = rotations_.load(std::memory_order_relaxed);
    s.truncations = truncations_.load(std::memory_order_relaxed);
    return s;
}

bool LogReader::start(std::string *error) {
    if (!checkStartable(error))
        return false;
    stopFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd_) {
        *error = "eventfd: " + errorText(errno);
        return false;
    }
    if (!makeBackend(error))
        return false;
    try {
        buffer_.resize(options_.maxRead);
    } catch (const std::bad_alloc &) {
        *error = "cannot allocate the read buffer";
        return false;
    }
    removeStaleTemporaries();
    openInitial();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &e) {
        *error = std::string("cannot start the monitor thread: ") + e.what();
        return false;
    }
    started_ = true;
    return true;
}

bool LogReader::checkStartable(std::string *error) const {
    if (started_) {
        *error = "the follower is already running";
        return false;
    }
    // Its state (file, offset, queue) belongs to the run that ended.
    if (stopping()) {
        *error = "the follower was stopped; a new one must be made";
        return false;
    }
    if (path_.empty()) {
        *error = "no input file given";
        return false;
    }
    if (options_.maxRead == 0 || options_.maxLine == 0) {
        *error = "read and line limits must be positive";
        return false;
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = path_ + " is not a regular file";
        return false;
    }
    return true;
}

bool LogReader::makeBackend(std::string *error) {
    if (options_.backend != Backend::Polling) {
        std::string why;
        backend_ = makeInotifyBackend(path_, stopFd_.get(), &why);
        if (!backend_) {
            if (options_.backend == Backend::Inotify) {
                *error = why;
                return false;
            }
            log(Level::Warn, "inotify is unavailable (" + why + "); polling " + path_ + " every " +
                                 std::to_string(options_.pollInterval.count()) + " ms");
        }
    }
    if (!backend_)
        backend_ = makePollingBackend(stopFd_.get(), static_cast<int>(options_.pollInterval.count()));
    return true;
}

void LogReader::removeStaleTemporaries() {
    if (options_.positionFile.empty())
        return;
    for (const std::string &name : vrex::removeStaleTemporaries(options_.positionFile))
        log(Level::Info, "Removed " + name + ", left beside " + options_.positionFile + " by an interrupted save");
}

void LogReader::stop() {
    if (!started_)
        return;
    stopRequested_.store(true, std::memory_order_relaxed);
    std::uint64_t one = 1;
    while (::write(stopFd_.get(), &one, sizeof one) < 0 && errno == EINTR) {}
    if (thread_.joinable())
        thread_.join();
    started_ = false;
}

bool LogReader::openFile(const std::string &path, OpenFile *file) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (refuseOwnFile(path, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)))
        return false;
    file->fd = std::move(fd);
    file->device = static_cast<std::uint64_t>(st.st_dev);
    file->inode = static_cast<std::uint64_t>(st.st_ino);
    file->lastGrowth = modificationToSteady(st);
    return true;
}

bool LogReader::refuseOwnFile(const std::string &path, std::uint64_t device, std::uint64_t inode) {
    if (!options_.ownFile)
        return false;
    const std::string what = options_.ownFile(device, inode);
    if (what.empty())
        return false;
    if (!wasRefused(device, inode))
        log(Level::Error, "Not following " + path + ": it is " + what + ", which this program writes; waiting for " +
                              "another file at " + path_);
    refused_ = true;
    refusedDevice_ = device;
    refusedInode_ = inode;
    return true;
}

void LogReader::openInitial() {
    std::optional<FilePosition> saved = loadSavedPosition();
    OpenFile atPath;
    const bool havePath = openAtPath(&atPath);
    if (saved && havePath && saved->device == atPath.device && saved->inode == atPath.inode) {
        current_ = std::move(atPath);
        resumeAt(saved->offset, path_);
    } else if (saved) {
        if (!resumeAfterRotation(*saved, atPath, havePath))
            return;
    } else if (havePath) {
        startAtEnd(std::move(atPath));
    } else {
        waitForPath();
        return;
    }
    savedPosition_ = {current_.device, current_.inode, offset_};
    positionSaved_ = saved && *saved == savedPosition_;
    backend_->follow(current_.fd.get());
}

std::optional<FilePosition> LogReader::loadSavedPosition() {
    if (options_.positionFile.empty())
        return std::nullopt;
    std::string why;
    auto saved = loadPosition(options_.positionFile, &why);
    if (!why.empty())
        log(Level::Warn, "Ignoring the saved position: " + why);
    return saved;
}

void LogReader::resumeAt(std::uint64_t savedOffset, const std::string &name) {
    struct stat st {};
    ::fstat(current_.fd.get(), &st);
    if (savedOffset <= static_cast<std::uint64_t>(st.st_size)) {
        offset_ = savedOffset;
        // A run that started inside a line saved that point.
        skipIfInsideLine();
        log(Level::Info, "Following " + name + " from the saved position (offset " + std::to_string(offset_) + ")");
    } else {
        offset_ = 0;
        truncations_.fetch_add(1, std::memory_order_relaxed);
        log(Level::Info, "Following " + name + " from its beginning: it is shorter than the saved position");
    }
}

bool LogReader::resumeAfterRotation(const FilePosition &saved, OpenFile &atPath, bool havePath) {
    // Rotated while the daemon was not running: what was written to the old
    // file after the saved offset, and all of the new file, are due.
    std::string oldName;
    if (openSavedFile(saved, &oldName)) {
        resumeAt(saved.offset, oldName);
        if (havePath)
            enqueue(std::move(atPath), "at " + path_);
        log(Level::Info, "Input file " + path_ + " was rotated since the position was saved; " +
                             (havePath ? "its new file follows from its beginning once " + oldName + " is idle"
                                       : "waiting for a new file there after " + oldName));
        return true;
    }
    log(Level::Warn, "The file of the saved position (device " + std::to_string(saved.device) + ", inode " +
                         std::to_string(saved.inode) + ") is no longer beside " + path_ +
                         ": lines written to it after offset " + std::to_string(saved.offset) +
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
    auto found = findSavedFile(path_, saved, &why);
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

void LogReader::run() {
    // The first save is not held back: a crash before the first interval
    // has passed must still find where this run started.
    lastSave_ = Clock::time_point{};
    while (!stopping()) {
        pump();
        if (stopping())
            break;
        maybeSavePosition();
        if (backend_->wait(nextTimeoutMs()) == WatchBackend::Wake::Stop)
            break;
    }
    savePositionNow();
}

bool LogReader::checkTruncation() {
    struct stat st {};
    if (::fstat(current_.fd.get(), &st) != 0)
        return false;
    if (static_cast<std::uint64_t>(st.st_size) >= offset_)
        return false;
    truncations_.fetch_add(1, std::memory_order_relaxed);
    if (splitter_.pending() > 0)
        log(Level::Warn, "Discarding " + std::to_string(splitter_.pending()) +
                             " bytes of an unfinished line: the input was truncated");
    log(Level::Info, "Input file " + path_ + " truncated; reading from its beginning");
    offset_ = 0;
    splitter_.reset();
    return true;
}

void LogReader::pump() {
    if (!current_.fd && !openAppearedFile())
        return;
    // Size seen by the look after the last read (none yet).
    std::uint64_t lookedAt = UINT64_MAX;
    for (;;) {
        checkTruncation();
        const bool gotData = readToEnd();
        if (stopping())
            return;
        checkRotation();
        if (grewSinceLook(&lookedAt))
            continue;
        if (next_.empty() || !currentIsIdle(gotData))
            return;
        // Nothing new arrived since the loop found the end: one last look,
        // then move on.
        std::uint64_t size = 0;
        if (currentSize(&size) && size > offset_)
            continue;
        switchToNext();
    }
}

bool LogReader::openAppearedFile() {
    if (!openAtPath(&current_))
        return false;
    offset_ = 0;
    splitter_.reset();
    log(Level::Info, "Input file " + path_ + " appeared; reading it from its beginning");
    backend_->follow(current_.fd.get());
    return true;
}

bool LogReader::readToEnd() {
    bool gotData = false;
    while (!stopping()) {
        ssize_t n = ::pread(current_.fd.get(), buffer_.data(), buffer_.size(), static_cast<off_t>(offset_));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            log(Level::Error, "Cannot read " + path_ + ": " + errorText(errno));
            break;
        }
        if (n == 0)
            break;
        gotData = true;
        deliver(std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
    }
    return gotData;
}

void LogReader::deliver(std::string_view chunk) {
    const auto onLine = [this](std::string_view line) {
        linesRead_.fetch_add(1, std::memory_order_relaxed);
        onLine_(line);
    };
    const auto onDrop = [this] {
        linesDropped_.fetch_add(1, std::memory_order_relaxed);
        log(Level::Warn, overlongLineWarning(options_.maxLine, path_));
    };
    while (!chunk.empty()) {
        std::size_t take = std::min(chunk.size(), kSliceBytes);
        splitter_.feed(chunk.substr(0, take), onLine, onDrop);
        offset_ += take;
        chunk.remove_prefix(take);
        checkRotation();
        // A stop leaves the rest of the slice unread; the saved position
        // covers only what was delivered.
        if (stopping())
            return;
    }
}

bool LogReader::grewSinceLook(std::uint64_t *lookedAt) {
    // checkRotation takes the backend's pending events, among them those of
    // writes made after the last read found the end; they will not wake the
    // wait again, so look at the size once more. (Once per size, so a file
    // whose size and content disagree cannot keep us here.)
    std::uint64_t size = 0;
    if (!currentSize(&size) || size == offset_ || size == *lookedAt)
        return false;
    *lookedAt = size;
    return true;
}

bool LogReader::currentIsIdle(bool gotData) {
    // Idle is judged by the file's own modification time, so a queued file
    // that went quiet long ago is passed through without waiting.
    struct stat cur {};
    if (gotData && ::fstat(current_.fd.get(), &cur) == 0)
        current_.lastGrowth = std::max(current_.lastGrowth, modificationToSteady(cur));
    return Clock::now() - idleSince() >= options_.rotationIdle;
}

bool LogReader::currentSize(std::uint64_t *size) const {
    struct stat st {};
    if (::fstat(current_.fd.get(), &st) != 0)
        return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

void LogReader::checkRotation() {
    // Files renamed away before we saw them at the path come first: they
    // are older than whatever stands there now.
    for (const auto &renamed : backend_->takeRenames()) {
        OpenFile file;
        if (openFile(renamed, &file) && !isKnown(file.device, file.inode))
            enqueue(std::move(file), "renamed to " + renamed);
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;  // gone for now: keep reading what we hold
    const auto device = static_cast<std::uint64_t>(st.st_dev), inode = static_cast<std::uint64_t>(st.st_ino);
    if (isKnown(device, inode) || wasRefused(device, inode))
        return;
    // Judge by what was opened: the name may have moved on since the stat.
    OpenFile file;
    if (!openAtPath(&file) || isKnown(file.device, file.inode))
        return;
    enqueue(std::move(file), "at " + path_);
}

void LogReader::enqueue(OpenFile file, const std::string &where) {
    rotations_.fetch_add(1, std::memory_order_relaxed);
    file.seen = Clock::now();
    if (options_.debug)
        log(Level::Debug, "New file " + where + " (inode " + std::to_string(file.inode) + "); finishing inode " +
                              std::to_string(current_.inode) + " first");
    next_.push_back(std::move(file));
}

bool LogReader::isKnown(std::uint64_t device, std::uint64_t inode) const {
    auto same = [&](const OpenFile &f) { return f.device == device && f.inode == inode; };
    return same(current_) || std::any_of(next_.begin(), next_.end(), same);
}

void LogReader::switchToNext() {
    if (splitter_.pending() > 0)
        log(Level::Warn, "Discarding " + std::to_string(splitter_.pending()) +
                             " bytes of an unfinished last line in the rotated file " + path_);
    current_ = std::move(next_.front());
    next_.pop_front();
    offset_ = 0;
    splitter_.reset();
    log(Level::Info, "Input file " + path_ + " rotated; reading the new file from its beginning");
    backend_->follow(current_.fd.get());
}

std::chrono::steady_clock::time_point LogReader::idleSince() const {
    return std::max(current_.lastGrowth, next_.front().seen);
}

int LogReader::nextTimeoutMs() const {
    auto now = Clock::now();
    auto deadline = Clock::time_point::max();
    if (!next_.empty())
        deadline = idleSince() + options_.rotationIdle;
    if (!options_.positionFile.empty() && current_.fd &&
        !(positionSaved_ &&
          savedPosition_ == FilePosition{current_.device, current_.inode, offset_ - splitter_.pending()}))
        deadline = std::min(deadline, lastSave_ + options_.saveInterval);
    if (deadline == Clock::time_point::max())
        return -1;
    if (deadline <= now)
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

void LogReader::maybeSavePosition() {
    if (Clock::now() - lastSave_ >= options_.saveInterval)
        savePositionNow();
}

void LogReader::savePositionNow() {
    if (options_.positionFile.empty() || !current_.fd)
        return;
    FilePosition position{current_.device, current_.inode, offset_ - splitter_.pending()};
    if (positionSaved_ && position == savedPosition_)
        return;
    lastSave_ = Clock::now();
    std::string why;
    if (!savePosition(options_.positionFile, position, &why)) {
        if (!saveFailing_)
            log(Level::Error, "Cannot save the position: " + why);
        saveFailing_ = true;
        return;
    }
    if (saveFailing_)
        log(Level::Info, "Saving the position works again");
    saveFailing_ = false;
    savedPosition_ = position;
    positionSaved_ = true;
}

}  // namespace vrex
