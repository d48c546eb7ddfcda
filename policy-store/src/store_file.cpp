// Reading the store file whole (a piece at a time, into the parser), writing
// it whole (through a temporary file renamed over it), the lock beside it,
// and the kernel table's lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container_record.h"
#include "securec.h"
#include "store_core.h"
#include "store_file.h"
#include "sysutil/atomic_file.h"
#include "sysutil/io.h"
#include "sysutil/lock_file.h"

namespace vault {

namespace {

using vrex::sys::ReplaceResult;
using vrex::sys::ReplaceStep;

constexpr size_t kMaxPathLength = 255;
// The file is read and written in pieces of this size.
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kWriteBuffer = 64 * 1024;

void readFailure(const char *path) { std::fprintf(stderr, "Failed to read XML file: %s\n", path); }

// Opens the store for reading and finds its size: 1 when open, 0 when there
// is no file (an empty store), -1 after reporting a failure. Non-blocking, so
// that a FIFO at the path is refused instead of waited on.
int openForRead(const char *path, vrex::sys::UniqueFd &fd, size_t &size) {
    fd.reset(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return 0;
        readFailure(path);
        return -1;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        readFailure(path);
        return -1;
    }
    off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end < 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0 || static_cast<unsigned long long>(end) >= SIZE_MAX) {
        readFailure(path);
        return -1;
    }
    size = static_cast<size_t>(end);
    return 1;
}

// Feeds the file's `size` bytes to the parser as they are read, so the text
// never needs a buffer of its own size. A file that ends early (it shrank
// under us) is a read failure.
int readInto(int fd, size_t size, StoreParser &parser, const char *path) {
    if (size == 0)
        return 0;
    size_t capacity = size < kReadChunk ? size : kReadChunk;
    vrex::sys::MallocPtr<char> buffer(static_cast<char *>(std::malloc(capacity)));
    if (!buffer) {
        std::perror("malloc");
        return -1;
    }
    for (size_t total = 0; total < size;) {
        size_t want = capacity < size - total ? capacity : size - total;
        ssize_t got = vrex::sys::readOnce(fd, buffer.get(), want);
        if (got <= 0) {
            readFailure(path);
            return -1;
        }
        total += static_cast<size_t>(got);
        if (parser.feed(buffer.get(), static_cast<size_t>(got)) != 0)
            return -1;
    }
    return 0;
}

// The messages of a failed replacement, as the store has always worded them.
// True when the replacement failed.
bool reportReplace(const ReplaceResult &result, const char *path) {
    switch (result.failed) {
    case ReplaceStep::None:
        return false;
    case ReplaceStep::NotRegular:
        std::fprintf(stderr, "Path is not a regular file: %s\n", path);
        break;
    case ReplaceStep::Inspect:
    case ReplaceStep::SymbolicLink:
    case ReplaceStep::Create:
        vrex::sys::printError("open", result.err);
        break;
    case ReplaceStep::Chmod:
        vrex::sys::printError("fchmod", result.err);
        break;
    case ReplaceStep::Write:
        vrex::sys::printError("write", result.err);
        break;
    case ReplaceStep::Close:
        vrex::sys::printError("close", result.err);
        break;
    case ReplaceStep::Rename:
        vrex::sys::printError("rename", result.err);
        break;
    case ReplaceStep::Sync:
    case ReplaceStep::OpenDirectory:
    case ReplaceStep::SyncDirectory:
        vrex::sys::printError("fsync", result.err);
        break;
    }
    return true;
}

// Formats the whole file into the temporary file, a large piece at a time:
// a store of thousands of records goes out in a few writes. After a failed
// write the rest is still formatted, so that every record left out is
// reported, but no longer written.
ReplaceResult writeRecords(vrex::sys::AtomicFile &file, const _ContainerPolicy *policies, int count) {
    ReplaceResult result;
    std::string text;
    text.reserve(kWriteBuffer + kMaxPolicyLine);
    auto flush = [&] {
        if (result.ok())
            result = file.write(text.data(), text.size());
        text.clear();
    };
    text += kStoreHead;
    for (int i = 0; i < count; ++i) {
        const _ContainerPolicy &rec = policies[i];
        if (!vrex::record::isValidContainerId(rec.container_id)) {
            std::fprintf(stderr, "Invalid container ID at index %d: %.*s\n", i,
                         static_cast<int>(sizeof rec.container_id), rec.container_id);
            continue;
        }
        char line[kMaxPolicyLine];
        text.append(line, formatPolicyLine(rec, line));
        if (text.size() >= kWriteBuffer)
            flush();
    }
    text += kStoreTail;
    flush();
    return result;
}

}  // namespace

int check_directory_exists(const char *path) {
    if (path == nullptr) {
        std::fputs("Invalid parameters\n", stderr);
        return -1;
    }
    if (::strnlen(path, kMaxPathLength + 1) > kMaxPathLength) {
        std::fputs("Path too long\n", stderr);
        return -1;
    }
    char dir[kMaxPathLength + 1];
    if (strncpy_s(dir, sizeof dir, path, kMaxPathLength) != EOK) {
        std::fputs("Path too long\n", stderr);
        return -1;
    }
    char *slash = std::strrchr(dir, '/');
    if (slash == nullptr)
        return 0;
    // A file directly below the root lives in "/".
    slash[slash == dir ? 1 : 0] = '\0';
    struct stat st;
    if (::stat(dir, &st) != 0) {
        std::fprintf(stderr, "Directory does not exist: %s\n", dir);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "Path exists but is not a directory: %s\n", dir);
        return -1;
    }
    return 0;
}

bool exists(const char *path) {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int load_counted(const char *path, _ContainerPolicy **policies, int *count, size_t *unread, bool announce) {
    if (policies == nullptr || count == nullptr || unread == nullptr || path == nullptr) {
        std::fputs("Invalid parameters\n", stderr);
        return -1;
    }
    *policies = nullptr;
    *count = 0;
    *unread = 0;

    vrex::sys::UniqueFd fd;
    size_t size = 0;
    int opened = openForRead(path, fd, size);
    if (opened <= 0)
        return opened;
    StoreParser parser;
    if (parser.reserveFor(size) != 0 || readInto(fd.get(), size, parser, path) != 0)
        return -1;
    fd.reset();
    if (parser.finish() != 0)
        return -1;

    int n = parser.count();
    *unread = parser.unread();
    *policies = parser.take();
    *count = n;
    if (announce)
        std::fprintf(stdout, "Successfully loaded %d policies from %s\n", n, path);
    return 0;
}

int load(const char *path, _ContainerPolicy **policies, int *count, bool announce) {
    size_t unread = 0;
    int rc = load_counted(path, policies, count, &unread, announce);
    if (rc == 0 && unread > 0)
        warn_unread(path, unread);
    return rc;
}

void warn_unread(const char *path, size_t unread) {
    std::fprintf(stderr,
                 "Warning: %zu policy element%s in %s could not be read; the file must hold one policy per line\n",
                 unread, unread == 1 ? "" : "s", path);
}

int writeStoreFile(const char *path, const _ContainerPolicy *policies, int count) {
    vrex::sys::ReplaceOptions options;
    options.regularTargetOnly = true;
    options.sweepStale = true;  // writers hold the store lock
    options.mode = 0600;
    vrex::sys::AtomicFile file(path, options);
    if (reportReplace(file.open(), path) || reportReplace(writeRecords(file, policies, count), path) ||
        reportReplace(file.commit(), path))
        return -1;
    return 0;
}

int KernelTableLock::acquire(const char *lock_path) {
    if (lock_path == nullptr)
        return 0;
    vrex::sys::LockResult locked = vrex::sys::lockPrivateFile(lock_path, fd_);
    if (!locked.ok()) {
        std::fprintf(stderr, "Failed to lock the kernel policy table: %s\n",
                     vrex::sys::lockFailureText(lock_path, locked).c_str());
        return -1;
    }
    return 0;
}

int StoreLock::acquire(const char *path) {
    char lockPath[kMaxPathLength + 16];
    int n = std::snprintf(lockPath, sizeof lockPath, "%s%s", path, kLockSuffix);
    if (n < 0 || static_cast<size_t>(n) >= sizeof lockPath) {
        std::fputs("Path too long\n", stderr);
        return -1;
    }
    fd_.reset(::open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_) {
        if (errno == ENOENT)
            return 0;
        std::perror("lock");
        return -1;
    }
    if (int err = vrex::sys::lockExclusive(fd_.get()); err != 0) {
        vrex::sys::printError("lock", err);
        return -1;
    }
    return 0;
}

}  // namespace vault
