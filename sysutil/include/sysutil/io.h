// Reads and writes that survive signals, and the text of a system error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace vrex::sys {

// Writes all `size` bytes: an interrupted write is repeated and a short one
// continued. Returns 0, or the errno of the write that failed.
int writeAll(int fd, const void *data, size_t size);

// One write call, repeated only while it is interrupted before taking any
// byte. Returns what write returned (the count taken, possibly short; or -1
// with errno set).
ssize_t writeOnce(int fd, const void *data, size_t size);

// One read call, repeated only while it is interrupted. Returns what read
// returned.
ssize_t readOnce(int fd, void *buffer, size_t size);

// Takes an exclusive flock on fd, waiting for it; interrupted waits are
// resumed. Returns 0, or the errno of the failure.
int lockExclusive(int fd);

// Puts /dev/null, opened read-only, on each of the descriptors 0, 1 and 2
// that is closed. Files the program opens later then cannot take those
// numbers and receive what is printed for standard output or error, while a
// write to a stream that was closed still fails (EBADF), as it would have.
// Returns 0, or the errno of the first failure.
int reserveStandardDescriptors();

// The system's text for errno value `err`.
std::string errorText(int err);

// "label: <text of err>" and a newline on standard error, as perror prints it.
void printError(const char *label, int err);

}  // namespace vrex::sys
