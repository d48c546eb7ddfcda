// Replacing a file at once: the new content goes to a temporary file in the
// same directory, which is flushed to disk and renamed over the target, then
// the directory is flushed. Readers see the old content or the new, never a
// part; a failure before the rename removes the temporary file and leaves the
// target as it was.
//
// Temporary files are named ".<name>.tmp.<pid>.<16 lower-case hex digits>"
// after the target's name; sweepStaleTemporaries removes exactly such names
// and nothing else, so that files of other tools beside the target (a
// ".<name>.bak", a "<name>.backup") survive.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sysutil/unique_fd.h"

namespace vrex::sys {

// The step of a replacement that failed. Callers word their own messages.
enum class ReplaceStep : uint8_t {
    None,           // nothing failed
    Inspect,        // lstat of the target failed for another reason than its absence
    SymbolicLink,   // the target is a symbolic link (refused; err is ELOOP)
    NotRegular,     // the target is neither absent nor a regular file (refused)
    Create,         // the temporary file could not be created
    Chmod,          // its mode could not be set
    Write,          // writing it failed
    Sync,           // flushing it to disk failed
    Close,          // closing it failed
    Rename,         // renaming it over the target failed
    OpenDirectory,  // the directory could not be opened to flush the rename
    SyncDirectory,  // flushing the directory failed
};

struct ReplaceResult {
    ReplaceStep failed = ReplaceStep::None;
    int err = 0;  // the errno of the failed step
    bool ok() const { return failed == ReplaceStep::None; }
};

struct ReplaceOptions {
    // Refuse a target that is a symbolic link or not a regular file, instead
    // of replacing the link itself.
    bool regularTargetOnly = false;
    // Remove stale temporary files of the target (see sweepStaleTemporaries)
    // once the target has passed its check. Only for callers that hold a lock
    // excluding every other writer of the target.
    bool sweepStale = false;
    // The new file gets the mode of the file it replaces when there is one
    // (links followed); otherwise, and always when false, `mode`.
    bool keepExistingMode = false;
    mode_t mode = 0600;
};

// A replacement in progress: open, write any number of times, commit.
class AtomicFile {
public:
    AtomicFile(std::string path, ReplaceOptions options);
    ~AtomicFile();  // removes the temporary file unless committed
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Checks the target and creates the temporary file beside it.
    ReplaceResult open();
    // Appends to the temporary file (all of it, or the write failure).
    ReplaceResult write(const void *data, size_t size);
    // Sets the mode, flushes and closes the temporary file, renames it over
    // the target and flushes the directory.
    ReplaceResult commit();

    const std::string &temporaryPath() const { return tmpPath_; }

private:
    ReplaceResult checkTarget() const;
    ReplaceResult createTemporary();
    mode_t finalMode() const;

    std::string path_;
    ReplaceOptions options_;
    std::string tmpPath_;
    UniqueFd fd_;
    bool renamed_ = false;
};

// Replaces the file at `path` by `bytes`.
ReplaceResult replaceFile(const std::string &path, std::string_view bytes, const ReplaceOptions &options);

// True when `name` is a temporary name of the target named `targetName`.
bool isTemporaryNameOf(std::string_view name, std::string_view targetName);

// Removes the regular files in the target's directory whose names are
// temporary names of the target: files left by writers killed mid-save.
// Best effort. Call it only while holding a lock that excludes every writer
// of the target, so that no live writer's file is taken.
void sweepStaleTemporaries(const std::string &path);

}  // namespace vrex::sys
