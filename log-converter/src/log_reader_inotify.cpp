// inotify backend: one watch on the followed file's inode (through its open
// descriptor, so a rename or unlink does not lose it) and one on its
// directory for the name coming and going. Blocks in poll() with no timeout
// when nothing is pending, so an idle follower costs nothing.
#include "sys_util.h"
#include "watch_backend.h"

#include <poll.h>
#include <sys/inotify.h>
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
// While a watch could not be placed, the backend re-examines on this period.
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
            if (dirWd_ < 0)
                watchDirectory();
            int limit = remainingMs(deadline);
            if ((dirWd_ < 0 || fileWatchFailed_) && (limit < 0 || limit > kRetryMs))
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
                return (dirWd_ < 0 || fileWatchFailed_) ? Wake::Change : Wake::Timeout;
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

    void watchDirectory() { dirWd_ = ::inotify_add_watch(fd_.get(), dir_.c_str(), kDirEvents); }

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
            if (event.mask & IN_IGNORED)
                dirWd_ = -1;
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
    int fileWd_ = -1;
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
