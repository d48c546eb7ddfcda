// The store file as a whole: the lock that serialises writers, and the
// crash-safe replacement of the file. (Load, the directory check and exists
// are declared in store_core.h.)
#pragma once

#include "sysutil/unique_fd.h"
#include "vault_store.h"

namespace vault {

// Holds the exclusive lock on the file beside the store for its lifetime.
class StoreLock {
public:
    // 0 when locked, or when the store's directory does not exist (then no
    // store file can exist either, and there is nothing to protect).
    int acquire(const char *path);

private:
    vrex::sys::UniqueFd fd_;
};

// Writes the whole store file as a temporary file that replaces the old one
// by rename, so the path always holds either the old or the new content. A
// symbolic link or non-regular file at the path is refused. Records with an
// invalid identifier are reported and left out. Call it under StoreLock.
int writeStoreFile(const char *path, const _ContainerPolicy *policies, int count);

}  // namespace vault
