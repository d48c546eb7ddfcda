// Owners of the system's handles: a move-only file descriptor, and
// unique_ptr forms for FILE*, DIR* and malloc'd blocks. Whatever owns a
// handle closes it on every path out; nothing calls close by hand.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace vrex::sys {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports close's result (0, or -1 with errno set), for
    // callers to whom a failed close is a failed write.
    int close() {
        int rc = 0;
        if (fd_ >= 0)
            rc = ::close(std::exchange(fd_, -1));
        return rc;
    }

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *d) const { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
// A block from malloc or realloc, released with free.
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace vrex::sys
