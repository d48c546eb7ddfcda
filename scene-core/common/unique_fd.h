// A move-only owner of a file descriptor, closed when the owner goes away.
#pragma once

#include <unistd.h>

#include <utility>

namespace zorva::scene {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Closes now and reports close's result (0, or -1 with errno set).
    int close() {
        int rc = 0;
        if (fd_ >= 0)
            rc = ::close(std::exchange(fd_, -1));
        return rc;
    }
    void reset() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

}  // namespace zorva::scene
