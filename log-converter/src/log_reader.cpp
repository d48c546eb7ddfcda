// The follower's monitor loop. Each wake: read the current file to its end
// (in slices, re-examining the path between them), notice truncation (size
// below our offset) and rotation (another inode at the path). A rotated file
// is read on until it has been idle for rotationIdle after its successor
// appeared; successors wait in a queue, each held open so that nothing
// written to them is lost even if they are renamed or removed meanwhile.
#include "log_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>

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
    if (!options_.positionFile.empty()) {
        saver_ = std::make_unique<PositionSaver>(
            options_.positionFile, options_.makeDurable,
            [this](bool failing, const std::string &message) { log(failing ? Level::Error : Level::Info, message); });
        if (!saver_->start(error))
            return false;
    }
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

void LogReader::stop() {
    if (!started_)
        return;
    stopRequested_.store(true, std::memory_order_relaxed);
    std::uint64_t one = 1;
    while (::write(stopFd_.get(), &one, sizeof one) < 0 && errno == EINTR) {}
    if (thread_.joinable())
        thread_.join();
    if (saver_)
        saver_->finish();
    started_ = false;
}

bool LogReader::pause(std::chrono::milliseconds duration) const {
    const auto deadline = Clock::now() + duration;
    for (;;) {
        if (stopRequested_.load(std::memory_order_relaxed))
            return false;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return true;
        pollfd fd = {stopFd_.get(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) > 0)
            return false;
    }
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
    savePositionNow(true);
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
    std::string_view slice;
    const auto onLine = [this, &slice](std::string_view line) {
        if (heldBack_)
            return;  // the rest of the slice waits for the next run
        if (onLine_(line))
            linesRead_.fetch_add(1, std::memory_order_relaxed);
        else
            holdBack(slice, offset_, line);
    };
    const auto onDrop = [this] {
        linesDropped_.fetch_add(1, std::memory_order_relaxed);
        log(Level::Warn, overlongLineWarning(options_.maxLine, path_));
    };
    while (!chunk.empty()) {
        std::size_t take = std::min(chunk.size(), kSliceBytes);
        slice = chunk.substr(0, take);
        splitter_.feed(slice, onLine, onDrop);
        if (heldBack_) {
            offset_ = heldOffset_;
            splitter_.reset();
            return;
        }
        offset_ += take;
        chunk.remove_prefix(take);
        checkRotation();
        // A stop leaves the rest of the slice unread; the saved position
        // covers only what was delivered.
        if (stopping())
            return;
    }
}

void LogReader::holdBack(std::string_view slice, std::uint64_t sliceOffset, std::string_view line) {
    // A line lies whole in the slice, its newline right after it, or it is
    // the end of one begun in earlier reads (kept by the splitter), whose
    // newline is the first of the slice.
    const char *begin = slice.data();
    std::size_t newline;
    if (std::less_equal<const char *>()(begin, line.data()) &&
        std::less_equal<const char *>()(line.data(), begin + slice.size()))
        newline = static_cast<std::size_t>(line.data() - begin) + line.size();
    else
        newline = slice.find('\n');
    heldOffset_ = sliceOffset + newline - line.size();
    heldBack_ = true;
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
    if (saver_ && current_.fd &&
        !positionIsSaved(FilePosition{current_.device, current_.inode, offset_ - splitter_.pending()}))
        deadline = std::min(deadline, lastSave_ + options_.saveInterval);
    if (deadline == Clock::time_point::max())
        return -1;
    if (deadline <= now)
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

}  // namespace vrex
