#include "sysutil/lock_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sysutil/io.h"
#include "sysutil/path.h"

namespace vrex::sys {

namespace {

// Owned by the effective user, and nobody else may write in it.
bool safeDirectory(const struct stat &st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A regular file of the effective user that nobody else may open.
bool safeLockFile(const struct stat &st) {
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

}  // namespace

LockResult lockPrivateFile(const std::string &path, UniqueFd &held) {
    held.reset();
    const std::string dir = directoryOf(path);
    const std::string name(baseNameOf(path));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return {LockStep::CreateDirectory, errno};
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd)
        return {LockStep::OpenDirectory, errno};
    struct stat st {};
    if (::fstat(dirFd.get(), &st) != 0)
        return {LockStep::OpenDirectory, errno};
    if (!safeDirectory(st))
        return {LockStep::UnsafeDirectory, 0};

    // Non-blocking, so that a FIFO planted at the path cannot hold the open.
    UniqueFd fd(::openat(dirFd.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd)
        return {errno == ELOOP ? LockStep::UnsafeFile : LockStep::Open, errno == ELOOP ? 0 : errno};
    if (::fstat(fd.get(), &st) != 0)
        return {LockStep::Open, errno};
    if (!safeLockFile(st))
        return {LockStep::UnsafeFile, 0};
    if (int err = lockExclusive(fd.get()); err != 0)
        return {LockStep::Lock, err};
    held = std::move(fd);
    return {};
}

std::string lockFailureText(const std::string &path, const LockResult &result) {
    const std::string dir = directoryOf(path);
    switch (result.failed) {
    case LockStep::None:
        break;
    case LockStep::CreateDirectory:
        return "mkdir " + dir + ": " + errorText(result.err);
    case LockStep::OpenDirectory:
        return "open " + dir + ": " + errorText(result.err);
    case LockStep::UnsafeDirectory:
        return dir + " is not a directory owned by this user and closed to writes by others";
    case LockStep::Open:
        return "open " + path + ": " + errorText(result.err);
    case LockStep::UnsafeFile:
        return path + " is not a regular file of this user closed to others (mode 0600)";
    case LockStep::Lock:
        return "flock " + path + ": " + errorText(result.err);
    }
    return {};
}

}  // namespace vrex::sys
