// The input follower: a monitor thread that follows one log file across
// rotation and truncation and hands every complete line to a callback.
#pragma once

#include "position.h"
#include "unique_fd.h"
#include "watch_backend.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vrex {

// The most the follower reads in one call, and the longest line it keeps.
inline constexpr std::size_t kMaxReadBytes = 10485760;

// Cuts a byte stream into lines. Keeps an unterminated tail until its newline
// arrives; a line longer than maxLine is dropped (reported once, when it
// passes the limit) and the stream resumes after its newline.
class LineSplitter {
public:
    using LineFn = std::function<void(std::string_view)>;
    using DropFn = std::function<void()>;

    explicit LineSplitter(std::size_t maxLine = kMaxReadBytes) : maxLine_(maxLine) {}

    void feed(std::string_view data, const LineFn &onLine, const DropFn &onDrop);
    // Bytes fed that belong to no complete line yet (kept or being skipped).
    std::uint64_t pending() const { return pending_; }
    void reset();
    // Ignores everything up to and including the next newline, without
    // counting it as a dropped line (used when starting inside a line).
    void skipToNextLine();

private:
    std::size_t maxLine_;
    std::string tail_;
    bool discarding_ = false;
    std::uint64_t pending_ = 0;
};

class LogReader {
public:
    enum class Level { Debug, Info, Warn, Error };
    enum class Backend { Auto, Inotify, Polling };

    using LineCallback = std::function<void(std::string_view line)>;
    using DiagnosticCallback = std::function<void(Level, const std::string &)>;

    struct Options {
        Backend backend = Backend::Auto;
        // Empty: no saved position.
        std::string positionFile;
        // Debug messages are only built when this is set.
        bool debug = false;
        DiagnosticCallback diagnostics;
        std::chrono::milliseconds pollInterval{100};
        // How long a rotated file must stay idle, after its successor has
        // appeared, before the follower moves on.
        std::chrono::milliseconds rotationIdle{1000};
        std::chrono::milliseconds saveInterval{1000};
        std::size_t maxRead = kMaxReadBytes;
        std::size_t maxLine = kMaxReadBytes;
    };

    struct Stats {
        std::uint64_t linesRead = 0;
        std::uint64_t linesDropped = 0;
        std::uint64_t rotations = 0;
        std::uint64_t truncations = 0;
    };

    LogReader(std::string path, LineCallback onLine, Options options);
    LogReader(std::string path, LineCallback onLine);
    ~LogReader();
    LogReader(const LogReader &) = delete;
    LogReader &operator=(const LogReader &) = delete;

    // Chooses the starting point (saved position, end of file, or waiting
    // for the file) and starts the monitor thread. Lines appended after
    // start() returns are delivered. False, with *error set, when the
    // follower cannot run at all.
    bool start(std::string *error);
    // Stops the monitor thread and saves the position. Idempotent.
    void stop();

    Stats stats() const;
    // "inotify" or "polling" once started.
    const char *backendName() const;

private:
    struct OpenFile {
        UniqueFd fd;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        // Monotonic time of the file's last known growth.
        std::chrono::steady_clock::time_point lastGrowth{};
        // When the follower first saw it at the path.
        std::chrono::steady_clock::time_point seen{};
    };

    void run();
    void openInitial();
    // Sets the offset in current_ (named name) from a saved offset, or to 0
    // when the file has become shorter than that.
    void resumeAt(std::uint64_t savedOffset, const std::string &name);
    // The saved position names another file than the one at the path: finds
    // it beside the path and makes it current_; false when it is gone.
    bool openSavedFile(const FilePosition &saved, std::string *name);
    bool openAtPath(OpenFile *file) { return openFile(path_, file); }
    bool openFile(const std::string &path, OpenFile *file);
    void enqueue(OpenFile file, const std::string &where);
    // Reads what the current file has, delivering lines, until it has no
    // more or stop was asked for; re-examines the path as it goes.
    void pump();
    bool checkTruncation();
    void checkRotation();
    bool isKnown(std::uint64_t device, std::uint64_t inode) const;
    std::chrono::steady_clock::time_point idleSince() const;
    void switchToNext();
    int nextTimeoutMs() const;
    void savePositionNow();
    void maybeSavePosition();
    void log(Level level, const std::string &message) const;
    bool stopping() const { return stopRequested_.load(std::memory_order_relaxed); }

    std::string path_;
    LineCallback onLine_;
    Options options_;

    UniqueFd stopFd_;
    std::unique_ptr<WatchBackend> backend_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    bool started_ = false;

    // Owned by the monitor thread once started.
    OpenFile current_;
    std::uint64_t offset_ = 0;
    std::deque<OpenFile> next_;
    LineSplitter splitter_;
    std::vector<char> buffer_;
    FilePosition savedPosition_{};
    bool positionSaved_ = false;
    std::chrono::steady_clock::time_point lastSave_{};
    bool saveFailing_ = false;

    std::atomic<std::uint64_t> linesRead_{0};
    std::atomic<std::uint64_t> linesDropped_{0};
    std::atomic<std::uint64_t> rotations_{0};
    std::atomic<std::uint64_t> truncations_{0};
};

}  // namespace vrex
