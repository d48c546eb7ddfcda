// Reading the files this library reads whole: the scene document, the old
// policy text, the kernel module's status file and the product information
// file. Each is opened without blocking (a FIFO or device put in its place
// cannot stall the caller), refused unless it is a regular file, and read up
// to a bound rather than to whatever size it claims.
#pragma once

#include <cstddef>
#include <string>

#include "common/error.h"

namespace zorva::scene {

// The whole content of the regular file at `path`, of at most `maxBytes`.
// Failures read "failed to read <path>: " and the cause ("open: <errno
// text>", "not a regular file", "larger than <maxBytes> bytes", ...).
Result<std::string> readRegularFile(const std::string &path, size_t maxBytes);

// As readRegularFile, but a file that does not exist is no error.
struct OptionalFile {
    bool present = false;
    std::string bytes;
};
Result<OptionalFile> readRegularFileIfPresent(const std::string &path, size_t maxBytes);

}  // namespace zorva::scene
