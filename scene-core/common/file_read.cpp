#include "common/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "sysutil/io.h"
#include "sysutil/unique_fd.h"

namespace zorva::scene {

namespace {

Error readError(Error cause, const std::string &path) { return std::move(cause).context("failed to read " + path); }

Error tooLarge(const std::string &path, size_t maxBytes) {
    return readError(Error::foreign("larger than " + std::to_string(maxBytes) + " bytes"), path);
}

// Reads the open regular file to its end, within the bound.
Result<std::string> readToEnd(int fd, const std::string &path, size_t sizeHint, size_t maxBytes) {
    std::string bytes;
    // One byte more than the size the file claims, so that the read that
    // finds its end needs no larger buffer.
    bytes.resize(std::min(sizeHint + 1, maxBytes + 1));
    size_t done = 0;
    // Read to the end even if the file grew or shrank since fstat (or, like
    // the kernel's files, reports no size at all), within the bound.
    for (;;) {
        if (done == bytes.size()) {
            if (bytes.size() >= maxBytes + 1)
                return tooLarge(path, maxBytes);
            bytes.resize(std::min(bytes.size() + 4096, maxBytes + 1));
        }
        ssize_t n = vrex::sys::readOnce(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0)
            return readError(Error::fromErrno("read", errno), path);
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done > maxBytes)
        return tooLarge(path, maxBytes);
    bytes.resize(done);
    return bytes;
}

Result<OptionalFile> readFile(const std::string &path, size_t maxBytes, bool missingIsError) {
    vrex::sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT && !missingIsError)
            return OptionalFile{};
        return readError(Error::fromErrno("open", errno), path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return readError(Error::fromErrno("fstat", errno), path);
    if (!S_ISREG(st.st_mode))
        return readError(Error::foreign("not a regular file"), path);
    if (static_cast<unsigned long long>(st.st_size) > maxBytes)
        return tooLarge(path, maxBytes);
    auto bytes = readToEnd(fd.get(), path, static_cast<size_t>(st.st_size), maxBytes);
    if (!bytes)
        return std::move(bytes.error());
    return OptionalFile{true, std::move(bytes.value())};
}

}  // namespace

Result<std::string> readRegularFile(const std::string &path, size_t maxBytes) {
    auto file = readFile(path, maxBytes, true);
    if (!file)
        return std::move(file.error());
    return std::move(file.value().bytes);
}

Result<OptionalFile> readRegularFileIfPresent(const std::string &path, size_t maxBytes) {
    return readFile(path, maxBytes, false);
}

}  // namespace zorva::scene
