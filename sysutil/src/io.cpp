#include "sysutil/io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vrex::sys {

int writeAll(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;  // no progress and no error: never loop on it
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

ssize_t writeOnce(int fd, const void *data, size_t size) {
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t readOnce(int fd, void *buffer, size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

int lockExclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int reserveStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // open returns the lowest free number: this one, as the lower ones are open.
        int null = ::open("/dev/null", O_RDONLY);
        if (null < 0)
            return errno;
        if (null != fd) {
            ::close(null);
            return EBADF;
        }
    }
    return 0;
}

std::string errorText(int err) {
    char buffer[256];
    // The GNU strerror_r returns the text, in buffer or in static storage.
    return ::strerror_r(err, buffer, sizeof buffer);
}

void printError(const char *label, int err) { std::fprintf(stderr, "%s: %s\n", label, errorText(err).c_str()); }

}  // namespace vrex::sys
