// One daemon per event log: two would convert every audit line twice. The
// lock is held on a file of its own beside the event log for the daemon's
// whole run (rotation renames the event log, never the lock file), and the
// kernel drops it when the daemon ends, however it ends.
#pragma once

#include "sys_util.h"

#include <string>
#include <sys/types.h>

namespace vrex {

// "<event log>.lock".
std::string instanceLockPath(const std::string &outputLog);

class InstanceLock {
public:
    enum class Result { Taken, HeldByAnother, Failed };

    // Takes the lock on path (made 0644 when missing) and writes this
    // process's id into the file. HeldByAnother: *holder is the running
    // instance's id (0 when it has not written it yet). Failed: *error says
    // why.
    Result take(const std::string &path, pid_t *holder, std::string *error);

private:
    UniqueFd fd_;
};

}  // namespace vrex
