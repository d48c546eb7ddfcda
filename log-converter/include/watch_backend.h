// How the follower learns that its file may have changed. Two backends share
// this interface: inotify (wakes on writes to the followed file and on names
// appearing or vanishing in its directory) and stat polling (wakes on a fixed
// interval). Either way the follower re-examines the file on every wake, so a
// spurious wake costs a stat and nothing else.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vrex {

class WatchBackend {
public:
    enum class Wake { Stop, Change, Timeout };

    virtual ~WatchBackend() = default;
    virtual const char *name() const = 0;

    // Watches this open file (and no longer the one watched before) for
    // writes, truncation, renames and deletion. -1 watches no file.
    virtual void follow(int fd) = 0;

    // Blocks until something may have changed, timeoutMs passed (-1: no
    // limit), or the stop descriptor became readable.
    virtual Wake wait(int timeoutMs) = 0;

    // The names, oldest first, that the followed name was renamed to within
    // its directory since the last call; takes pending events without
    // blocking. It lets the follower find a file that was created and renamed
    // away before it looked at the path. Polling cannot tell: empty.
    virtual std::vector<std::string> takeRenames() { return {}; }
};

// nullptr (with *error set) when inotify cannot be used here.
std::unique_ptr<WatchBackend> makeInotifyBackend(const std::string &path, int stopFd, std::string *error);
std::unique_ptr<WatchBackend> makePollingBackend(int stopFd, int intervalMs);

}  // namespace vrex
