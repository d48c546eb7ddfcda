#include "sysutil/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "sysutil/io.h"
#include "sysutil/path.h"

namespace vrex::sys {

namespace {

constexpr std::string_view kTmpMarker = ".tmp.";
constexpr size_t kRandomDigits = 16;
constexpr size_t kMaxPidDigits = 10;
constexpr int kCreateAttempts = 100;

// 64 unpredictable bits; when the kernel cannot give them, the clock and a
// counter still make names that differ from call to call.
uint64_t randomTag() {
    uint64_t tag = 0;
    if (::getrandom(&tag, sizeof tag, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof tag))
        return tag;
    static std::atomic<uint64_t> counter{0};
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) << 32) ^ static_cast<uint64_t>(ts.tv_nsec) ^
           (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
}

std::string temporaryName(std::string_view dir, std::string_view targetName) {
    char tail[48];
    std::snprintf(tail, sizeof tail, "%ld.%016llx", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(randomTag()));
    std::string name(dir);
    name += "/.";
    name += targetName;
    name += kTmpMarker;
    name += tail;
    return name;
}

bool allDecimal(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool allLowerHex(std::string_view text) {
    for (char c : text)
        if ((c < '0' || c > '9') && (c < 'a' || c > 'f'))
            return false;
    return true;
}

}  // namespace

AtomicFile::AtomicFile(std::string path, ReplaceOptions options) : path_(std::move(path)), options_(options) {}

AtomicFile::~AtomicFile() {
    if (!renamed_ && !tmpPath_.empty()) {
        fd_.reset();
        ::unlink(tmpPath_.c_str());
    }
}

ReplaceResult AtomicFile::checkTarget() const {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0)
        return errno == ENOENT ? ReplaceResult{} : ReplaceResult{ReplaceStep::Inspect, errno};
    if (S_ISLNK(st.st_mode))
        return {ReplaceStep::SymbolicLink, ELOOP};
    if (!S_ISREG(st.st_mode))
        return {ReplaceStep::NotRegular, 0};
    return {};
}

ReplaceResult AtomicFile::createTemporary() {
    const std::string dir = directoryOf(path_);
    const std::string_view name = baseNameOf(path_);
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        std::string candidate = temporaryName(dir, name);
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fd_.reset(fd);
            tmpPath_ = std::move(candidate);
            return {};
        }
        if (errno != EEXIST)
            return {ReplaceStep::Create, errno};
    }
    return {ReplaceStep::Create, EEXIST};
}

ReplaceResult AtomicFile::open() {
    if (options_.regularTargetOnly) {
        if (ReplaceResult checked = checkTarget(); !checked.ok())
            return checked;
    }
    if (options_.sweepStale)
        sweepStaleTemporaries(path_);
    return createTemporary();
}

ReplaceResult AtomicFile::write(const void *data, size_t size) {
    if (int err = writeAll(fd_.get(), data, size); err != 0)
        return {ReplaceStep::Write, err};
    return {};
}

mode_t AtomicFile::finalMode() const {
    struct stat st {};
    if (options_.keepExistingMode && ::stat(path_.c_str(), &st) == 0)
        return st.st_mode & 07777;
    return options_.mode;
}

ReplaceResult AtomicFile::commit() {
    // The file was created 0600; other modes are set explicitly, so that the
    // process's umask does not take bits away.
    if ((options_.keepExistingMode || options_.mode != 0600) && ::fchmod(fd_.get(), finalMode()) != 0)
        return {ReplaceStep::Chmod, errno};
    if (::fsync(fd_.get()) != 0)
        return {ReplaceStep::Sync, errno};
    if (fd_.close() != 0)
        return {ReplaceStep::Close, errno};
    if (::rename(tmpPath_.c_str(), path_.c_str()) != 0)
        return {ReplaceStep::Rename, errno};
    renamed_ = true;

    // The rename is durable only once the directory is flushed.
    UniqueFd dirFd(::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd)
        return {ReplaceStep::OpenDirectory, errno};
    if (::fsync(dirFd.get()) != 0)
        return {ReplaceStep::SyncDirectory, errno};
    return {};
}

ReplaceResult replaceFile(const std::string &path, std::string_view bytes, const ReplaceOptions &options) {
    AtomicFile file(path, options);
    ReplaceResult result = file.open();
    if (result.ok())
        result = file.write(bytes.data(), bytes.size());
    if (result.ok())
        result = file.commit();
    return result;
}

bool isTemporaryNameOf(std::string_view name, std::string_view targetName) {
    if (name.size() < 1 + targetName.size() + kTmpMarker.size() || name[0] != '.')
        return false;
    name.remove_prefix(1);
    if (!name.starts_with(targetName))
        return false;
    name.remove_prefix(targetName.size());
    if (!name.starts_with(kTmpMarker))
        return false;
    name.remove_prefix(kTmpMarker.size());
    size_t dot = name.find('.');
    if (dot == 0 || dot == std::string_view::npos || dot > kMaxPidDigits)
        return false;
    std::string_view pid = name.substr(0, dot), tag = name.substr(dot + 1);
    return allDecimal(pid) && tag.size() == kRandomDigits && allLowerHex(tag);
}

void sweepStaleTemporaries(const std::string &path) {
    const std::string_view name = baseNameOf(path);
    UniqueDir dir(::opendir(directoryOf(path).c_str()));
    if (!dir)
        return;
    while (const struct dirent *entry = ::readdir(dir.get())) {
        struct stat st {};
        if (isTemporaryNameOf(entry->d_name, name) &&
            ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
    }
}

}  // namespace vrex::sys
