// inotify backend: one watch on the followed file's inode (through its open
// descriptor, so a rename or unlink does not lose it) and one on its
// directory for the name coming and going. Blocks in poll() with no timeout
// when nothing is pending, so an idle follower costs nothing.
#include "sys_util.h"
#include "watch_backend.h"

#include <poll.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

namespace vrex {

namespace {

constexpr std::uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr std::uint32_t kDirEvents =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// While a watch could not be placed, or no file is followed, the backend
// re-examines on this period.
constexpr int kRetryMs = 1000;
// Renames out of the directory never see their second half; forget the
// oldest beyond this many.
constexpr std::size_t kMaxOutstandingMoves = 16;

class InotifyBackend final : public WatchBackend {
public:
    InotifyBackend(UniqueFd inotifyFd, const std::string &path, int stopFd)
        : fd_(std::move(inotifyFd)), stopFd_(stopFd), dir_(directoryOf(path)), name_(baseNameOf(path)) {
        watchDirectory();
    }

    const char *name() const override { return "inotify"; }

    void follow(int fd) override {
        if (fileWd_ >= 0)
            ::inotify_rm_watch(fd_.get(), fileWd_);
        fileWd_ = -1;
        fileWatchFailed_ = false;
        followed_ = fd;
        if (fd < 0)
            return;
        // The magic link reaches the inode even after a rename or unlink.
        std::string link("/proc/self/fd/");
        link += std::to_string(fd);
        fileWd_ = ::inotify_add_watch(fd_.get(), link.c_str(), kFileEvents);
        fileWatchFailed_ = fileWd_ < 0;
    }

    std::vector<std::string> takeRenames() override {
        drainEvents();
        return std::exchange(renamed_, {});
    }

    Wake wait(int timeoutMs) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline =
            timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            // A directory removed does not always say so at once, so each
            // wait checks that the name still leads to the watched one.
            if (dirWd_ >= 0 && !directoryIsWatched())
                unwatchDirectory();
            // The directory came back (removed and made again): a file may
            // have been made in it before the watch was, which no event
            // will report, so the follower looks at the path now.
            if (dirWd_ < 0 && watchDirectory())
                return Wake::Change;
            int limit = remainingMs(deadline);
            const bool recheck = mustRecheck();
            if (recheck && (limit < 0 || limit > kRetryMs))
                limit = kRetryMs;
            pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd_.get(), POLLIN, 0}};
            int n = ::poll(fds, 2, limit);
            if (n < 0) {
                if (errno == EINTR)
                    return Wake::Change;
                return Wake::Timeout;
            }
            if (fds[0].revents)
                return Wake::Stop;
            if (n == 0)
                return recheck ? Wake::Change : Wake::Timeout;
            if (drainEvents())
                return Wake::Change;
            if (deadline != Clock::time_point::max() && Clock::now() >= deadline)
                return Wake::Timeout;
        }
    }

private:
    static int remainingMs(std::chrono::steady_clock::time_point deadline) {
        if (deadline == std::chrono::steady_clock::time_point::max())
            return -1;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count());
    }

    // Watches the directory at the name and records which one it is.
    bool watchDirectory() {
        UniqueFd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!dir || ::fstat(dir.get(), &st) != 0)
            return false;
        // Through the descriptor, so that the watch is on the inode examined.
        const std::string link = "/proc/self/fd/" + std::to_string(dir.get());
        dirWd_ = ::inotify_add_watch(fd_.get(), link.c_str(), kDirEvents);
        dirDevice_ = st.st_dev;
        dirInode_ = st.st_ino;
        return dirWd_ >= 0;
    }

    // The name still leads to the watched directory. (A directory removed
    // while a file in it is still open, such as the one followed, sends no
    // event until that file is closed; it cannot be freed before, so no new
    // directory can have its inode number meanwhile.)
    bool directoryIsWatched() const {
        struct stat st {};
        return ::stat(dir_.c_str(), &st) == 0 && st.st_dev == dirDevice_ && st.st_ino == dirInode_;
    }

    void unwatchDirectory() {
        ::inotify_rm_watch(fd_.get(), dirWd_);
        dirWd_ = -1;
    }

    // Events cannot be counted on to report what happens at the name: the
    // followed file was removed (its directory may follow, silently), no
    // file is followed, or a watch is missing.
    bool mustRecheck() const {
        struct stat st {};
        return dirWd_ < 0 || fileWatchFailed_ || followed_ < 0 || (::fstat(followed_, &st) == 0 && st.st_nlink == 0);
    }

    // Reads every queued event; true when one of them concerns the followed
    // file, its name, or the watches themselves.
    bool drainEvents() {
        bool relevant = false;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                break;
            }
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                relevant |= takeEvent(*event);
            }
        }
        return relevant;
    }

    bool takeEvent(const inotify_event &event) {
        if (event.mask & IN_Q_OVERFLOW)
            return true;
        if (event.wd == dirWd_)
            return takeDirectoryEvent(event);
        if (event.wd == fileWd_) {
            if (event.mask & IN_IGNORED)
                fileWd_ = -1;
            return true;
        }
        return false;
    }

    bool takeDirectoryEvent(const inotify_event &event) {
        if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
            // The directory was removed or renamed: the name now leads, or
            // will, to another directory. The watch is dropped here rather
            // than on IN_IGNORED, which the kernel may send much later (or,
            // the event having been taken while looking for renames, never
            // wake a wait), and placed again on whatever the name leads to.
            if (event.mask & IN_IGNORED)
                dirWd_ = -1;
            else
                unwatchDirectory();
            return true;
        }
        if (event.len > 0 && name_ == event.name) {
            if (event.mask & IN_MOVED_FROM) {
                if (movedCookies_.size() >= kMaxOutstandingMoves)
                    movedCookies_.erase(movedCookies_.begin());
                movedCookies_.push_back(event.cookie);
            }
            return true;
        }
        if ((event.mask & IN_MOVED_TO) && event.len > 0) {
            // The second half of a rename of the followed name: where it went.
            auto it = std::find(movedCookies_.begin(), movedCookies_.end(), event.cookie);
            if (it != movedCookies_.end()) {
                movedCookies_.erase(it);
                renamed_.push_back(dir_ + "/" + event.name);
                return true;
            }
        }
        return false;
    }

    UniqueFd fd_;
    int stopFd_;
    std::string dir_;
    std::string name_;
    int dirWd_ = -1;
    // The directory the watch is on.
    dev_t dirDevice_ = 0;
    ino_t dirInode_ = 0;
    int fileWd_ = -1;
    // The followed file's descriptor (the follower's), -1 when none.
    int followed_ = -1;
    // Renames of the followed name whose new name has not come yet.
    std::vector<std::uint32_t> movedCookies_;
    std::vector<std::string> renamed_;
    bool fileWatchFailed_ = false;
};

}  // namespace

std::unique_ptr<WatchBackend> makeInotifyBackend(const std::string &path, int stopFd, std::string *error) {
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) {
        *error = "inotify_init1: " + errorText(errno);
        return nullptr;
    }
    return std::make_unique<InotifyBackend>(std::move(fd), path, stopFd);
}

}  // namespace vrex
