// Ways to make writes fail part way, as on a full disk: a child process
// whose files may not grow past a limit, and a small tmpfs filled to the
// last byte (inside the test sandbox).
#pragma once

#include <sys/resource.h>

#include <functional>
#include <string>

#include "test_util.h"

namespace vrex::testing {

// Runs body in a forked child whose regular files may not grow past `limit`
// bytes (SIGXFSZ ignored, so the write fails with EFBIG instead). The exit
// code is 0 when body returned 0, else 1; out and err hold what the child
// printed on its standard output and error.
ProcessResult runWithFileSizeLimit(rlim_t limit, const std::function<int()> &body);

// Mounts a tmpfs of `size` (mount's "size=" text, e.g. "16k") on `dir` for
// the object's lifetime. ok() tells whether the mount worked; error() why not.
class SmallTmpfs {
public:
    SmallTmpfs(const std::string &dir, const std::string &size);
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;

    bool ok() const { return mounted_; }
    const std::string &error() const { return error_; }

private:
    std::string dir_;
    bool mounted_ = false;
    std::string error_;
};

// Writes blocks to a new file at `path` until the file system is full.
void fillFileSystem(const std::string &path);

}  // namespace vrex::testing
