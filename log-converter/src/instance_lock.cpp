#include "instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <thread>

namespace vrex {

namespace {

// The id in the lock file; 0 when it holds none (yet).
pid_t holderOf(int fd) {
    char text[32];
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    long value = 0;
    auto [end, ec] = std::from_chars(text, text + n, value);
    if (ec != std::errc() || end == text || (end != text + n && *end != '\n') || value <= 0 || value > INT32_MAX)
        return 0;
    return static_cast<pid_t>(value);
}

}  // namespace

std::string instanceLockPath(const std::string &outputLog) { return outputLog + ".lock"; }

InstanceLock::Result InstanceLock::take(const std::string &path, pid_t *holder, std::string *error) {
    *holder = 0;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0644));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        *error = "cannot open the lock file " + path + ": " + errorText(errno);
        return Result::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "the lock file " + path + " is not a regular file";
        return Result::Failed;
    }
    // flock belongs to the open file, not to the process: no other
    // descriptor of this file that the daemon opens and closes can drop it.
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            *error = "cannot lock " + path + ": " + errorText(errno);
            return Result::Failed;
        }
        // The holder writes its id right after taking the lock.
        for (int tries = 0; tries < 50 && (*holder = holderOf(fd.get())) == 0; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return Result::HeldByAnother;
    }
    // Best effort: the lock is what counts, the id only tells who holds it.
    const std::string id = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0)
        (void)!::pwrite(fd.get(), id.data(), id.size(), 0);
    fd_ = std::move(fd);
    return Result::Taken;
}

}  // namespace vrex
