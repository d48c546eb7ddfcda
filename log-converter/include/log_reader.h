// The input follower: a monitor thread that follows one log file across
// rotation and truncation and hands every complete line to a callback.
#pragma once

#include "line_splitter.h"
#include "position.h"
#include "position_saver.h"
#include "sys_util.h"
#include "watch_backend.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vrex {

// The most the follower reads in one call: as much as the longest line.
inline constexpr std::size_t kMaxReadBytes = kMaxLineBytes;

class LogReader {
public:
    enum class Level { Debug, Info, Warn, Error };
    enum class Backend { Auto, Inotify, Polling };

    // False when the line could not be taken: it is kept for a later run
    // (the saved position stays before it) and no further line is handed
    // on. Only while the follower is stopping (see pause) does a callback
    // give up.
    using LineCallback = std::function<bool(std::string_view line)>;
    using DiagnosticCallback = std::function<void(Level, const std::string &)>;

    struct Options {
        Backend backend = Backend::Auto;
        // Empty: no saved position.
        std::string positionFile;
        // Debug messages are only built when this is set.
        bool debug = false;
        DiagnosticCallback diagnostics;
        // Says what a file is ("the diagnostic log ...") when it is one the
        // program writes itself, "" otherwise. Such a file is never
        // followed: at the start, after a rotation or when it appears, it is
        // refused with an ERROR and the follower waits for another file at
        // the path.
        std::function<std::string(std::uint64_t device, std::uint64_t inode)> ownFile;
        std::chrono::milliseconds pollInterval{100};
        // How long a rotated file must stay idle, after its successor has
        // appeared, before the follower moves on.
        std::chrono::milliseconds rotationIdle{1000};
        std::chrono::milliseconds saveInterval{1000};
        std::size_t maxRead = kMaxReadBytes;
        std::size_t maxLine = kMaxLineBytes;
        // Called on the monitor thread with each position saved: what the
        // consumer of the lines needs, after a crash, to decide the lines
        // after it again as it did (nullopt: nothing; final: the position
        // of a clean stop, after which nothing is to be replayed).
        std::function<std::optional<ReplayState>(bool final)> checkpoint;
        // Makes the consumer's output durable up to the position handed
        // over; called before the position file is replaced, off the
        // monitor thread. False (with the reason) keeps the old position.
        PositionSaver::MakeDurable makeDurable;
        // Called by start(), before any line is handed on, when the saved
        // position was trusted and carries a replay state.
        std::function<void(const ReplayState &)> resume;
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
    // For the line callback: waits for the given time, or less when the
    // follower is being stopped; false when it is.
    bool pause(std::chrono::milliseconds duration) const;

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
    // Checks what start() needs before anything is made; false says why.
    bool checkStartable(std::string *error) const;
    // inotify, or polling when asked or when inotify cannot be used.
    bool makeBackend(std::string *error);
    // Removes the temporary files of saves that a killed run left behind.
    void removeStaleTemporaries();

    // Chooses the starting point: the saved position, the end of the file,
    // or waiting for the file.
    void openInitial();
    std::optional<SavedPosition> loadSavedPosition();
    // Sets the offset in current_ (named name) from the saved position when
    // the file still holds the content it was taken in; else to its end
    // (it lost its tail) or to 0 (other content). True when it resumed at
    // the saved offset.
    bool resumeAt(const SavedPosition &saved, const std::string &name);
    // The saved position names another file than atPath (the file at the
    // path, when havePath): resumes in the saved file when it is still
    // beside the path, else reads atPath whole. False when there is no file
    // to follow yet; *trusted as for resumeAt.
    bool resumeAfterRotation(const SavedPosition &saved, OpenFile &atPath, bool havePath, bool *trusted);
    // Finds the file of a saved position beside the path and makes it
    // current_; false when it is gone.
    bool openSavedFile(const FilePosition &saved, std::string *name);
    void startAtEnd(OpenFile file);
    void waitForPath();
    // The offset lies inside a line: its rest is no line of its own.
    void skipIfInsideLine();

    bool openAtPath(OpenFile *file) { return openFile(path_, file); }
    // False when path cannot be opened as a regular file or is refused.
    bool openFile(const std::string &path, OpenFile *file);
    // The file is one of the program's own (ERROR once per file); the
    // follower keeps away from it.
    bool refuseOwnFile(const std::string &path, std::uint64_t device, std::uint64_t inode);
    bool wasRefused(std::uint64_t device, std::uint64_t inode) const {
        return refused_ && refusedDevice_ == device && refusedInode_ == inode;
    }
    void enqueue(OpenFile file, const std::string &where);

    // Reads what the current file has, delivering lines, until it has no
    // more or stop was asked for; re-examines the path as it goes.
    void pump();
    // The file has appeared at the path: makes it current; false if not yet.
    bool openAppearedFile();
    // Reads from the offset to the end of the file; true when it got data.
    bool readToEnd();
    // Hands on the lines of one read, slice by slice.
    void deliver(std::string_view chunk);
    // The callback gave up on line, in slice (read at sliceOffset): the
    // offset goes back to the line's start and nothing more is handed on.
    void holdBack(std::string_view slice, std::uint64_t sliceOffset, std::string_view line);
    // The size differs from the offset and from the last look's size (which
    // it then becomes): a write came after the read that found the end.
    bool grewSinceLook(std::uint64_t *lookedAt);
    // The current file has been idle long enough for its successor to take
    // over; gotData: the last read found something.
    bool currentIsIdle(bool gotData);
    bool currentSize(std::uint64_t *size) const;
    bool checkTruncation();
    void checkRotation();
    bool isKnown(std::uint64_t device, std::uint64_t inode) const;
    std::chrono::steady_clock::time_point idleSince() const;
    void switchToNext();
    int nextTimeoutMs() const;
    // Hands the position (with its fingerprint and the consumer's state) to
    // the saver; final: the last one, at a clean stop.
    void savePositionNow(bool final);
    void maybeSavePosition();
    bool positionIsSaved(const FilePosition &position) const;
    void log(Level level, const std::string &message) const;
    bool stopping() const { return stopRequested_.load(std::memory_order_relaxed) || heldBack_; }

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
    std::unique_ptr<PositionSaver> saver_;
    FilePosition savedPosition_{};
    bool positionSaved_ = false;
    std::chrono::steady_clock::time_point lastSave_{};
    // The last position handed to the saver carried a replay state.
    bool savedReplay_ = false;
    // The line callback gave up on a line (at heldOffset_): the run ends.
    bool heldBack_ = false;
    std::uint64_t heldOffset_ = 0;
    // The last file refused as one of the program's own.
    bool refused_ = false;
    std::uint64_t refusedDevice_ = 0;
    std::uint64_t refusedInode_ = 0;

    std::atomic<std::uint64_t> linesRead_{0};
    std::atomic<std::uint64_t> linesDropped_{0};
    std::atomic<std::uint64_t> rotations_{0};
    std::atomic<std::uint64_t> truncations_{0};
};

}  // namespace vrex
