// Polling backend, for file systems or sandboxes without inotify: the
// follower re-examines its file every interval, sleeping in poll() on the
// stop descriptor in between.
#include "watch_backend.h"

#include <poll.h>

#include <cerrno>

namespace vrex {

namespace {

class PollingBackend final : public WatchBackend {
public:
    PollingBackend(int stopFd, int intervalMs) : stopFd_(stopFd), intervalMs_(intervalMs > 0 ? intervalMs : 1) {}

    const char *name() const override { return "polling"; }
    void follow(int) override {}

    Wake wait(int timeoutMs) override {
        int limit = timeoutMs < 0 || timeoutMs > intervalMs_ ? intervalMs_ : timeoutMs;
        pollfd fd = {stopFd_, POLLIN, 0};
        int n = ::poll(&fd, 1, limit);
        if (n > 0)
            return Wake::Stop;
        // Every expiry of the interval is a chance that the file changed.
        return Wake::Change;
    }

private:
    int stopFd_;
    int intervalMs_;
};

}  // namespace

std::unique_ptr<WatchBackend> makePollingBackend(int stopFd, int intervalMs) {
    return std::make_unique<PollingBackend>(stopFd, intervalMs);
}

}  // namespace vrex
