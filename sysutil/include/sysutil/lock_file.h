// An exclusive lock on a file of its own that no other user can open: flock
// works on any descriptor, read-only ones included, so a lock file that
// another user could open (or had planted, or had pointed elsewhere with a
// symbolic link) would let that user hold every writer up for ever.
#pragma once

#include <cstdint>
#include <string>

#include "sysutil/unique_fd.h"

namespace vrex::sys {

// The step at which a lock could not be taken. Callers word their messages
// with lockFailureText.
enum class LockStep : uint8_t {
    None,             // locked
    CreateDirectory,  // the missing directory could not be made
    OpenDirectory,    // the directory could not be opened (a symbolic link is refused here)
    UnsafeDirectory,  // the directory is not ours, or others may write in it
    Open,             // the lock file could not be opened or created
    UnsafeFile,       // the lock file is not a regular file of ours closed to others
    Lock,             // flock failed
};

struct LockResult {
    LockStep failed = LockStep::None;
    int err = 0;  // the errno of the failed step (0 for the refusals)
    bool ok() const { return failed == LockStep::None; }
};

// Opens the lock file at `path` and waits for an exclusive flock on it,
// which `held` keeps until it is closed or reset. A missing lock file is
// created with mode 0600, and a missing directory (the last component only,
// as "/run/vrex" below "/run") with mode 0700. Refused: a directory that is a
// symbolic link, is owned by another user than the effective one or is
// writable by group or others; a lock file that is a symbolic link, is not a
// regular file, is owned by another user, or is open to group or others.
// Nothing is changed in what is refused.
LockResult lockPrivateFile(const std::string &path, UniqueFd &held);

// What failed, for a message: "mkdir /run/vrex: Permission denied", or
// "/run/vrex/x.lock is not a regular file of this user closed to others (mode 0600)".
std::string lockFailureText(const std::string &path, const LockResult &result);

}  // namespace vrex::sys
