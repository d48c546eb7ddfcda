#include "sys_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace vrex {

namespace {

constexpr std::string_view kTemporaryTag = ".tmp.";
constexpr std::size_t kRandomDigits = 8;
// Creation gives up after this many names that were taken.
constexpr int kCreateAttempts = 16;

std::uint32_t randomNumber() {
    std::uint32_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value))
        return value;
    // No entropy yet (early boot): the name only has to differ from those
    // of earlier attempts, which the clock sees to.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec * 2654435761u);
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Creates a fresh temporary file beside path; sets *temp to its path.
UniqueFd createTemporary(const std::string &path, std::string *temp) {
    const std::string base = baseNameOf(path);
    const std::string prefix = path.substr(0, path.size() - base.size());
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        *temp = prefix + temporaryName(base, ::getpid(), randomNumber());
        UniqueFd fd(::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
        if (fd || errno != EEXIST)
            return fd;
    }
    return UniqueFd();
}

bool processRuns(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace

std::string errorText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool writeAllParts(int fd, std::initializer_list<std::string_view> parts) {
    constexpr std::size_t kMaxParts = 8;
    iovec vec[kMaxParts];
    std::size_t count = 0;
    for (std::string_view part : parts) {
        if (count == kMaxParts)
            return false;
        if (!part.empty())
            vec[count++] = {const_cast<char *>(part.data()), part.size()};
    }
    for (iovec *next = vec; count > 0;) {
        ssize_t n = ::writev(fd, next, static_cast<int>(count));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        // Skips what was written: whole parts, then the start of one.
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char *>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    return true;
}

bool readUpTo(int fd, std::size_t limit, std::string *text) {
    char buf[65536];
    std::size_t left = limit + 1;
    while (left > 0) {
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        text->append(buf, static_cast<std::size_t>(n));
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<FileId> fileIdOf(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string resolvedPath(const std::string &path) {
    auto resolve = [](const std::string &name, std::string *out) {
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(name.c_str(), nullptr), &std::free);
        if (real)
            *out = real.get();
        return real != nullptr;
    };
    std::string out;
    if (resolve(path, &out))
        return out;
    std::string dir;
    if (!resolve(directoryOf(path), &dir))
        return path;
    return (dir == "/" ? dir : dir + "/") + baseNameOf(path);
}

std::string directoryOf(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temporaryName(std::string_view base, pid_t pid, std::uint32_t random) {
    char digits[kRandomDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(random));
    std::string name = ".";
    name.append(base).append(kTemporaryTag).append(std::to_string(pid)).append(".").append(digits);
    return name;
}

bool isTemporaryName(std::string_view name, std::string_view base, pid_t *pid) {
    if (name.size() < 1 + base.size() + kTemporaryTag.size() || name[0] != '.' || name.substr(1, base.size()) != base ||
        name.substr(1 + base.size(), kTemporaryTag.size()) != kTemporaryTag)
        return false;
    name.remove_prefix(1 + base.size() + kTemporaryTag.size());
    // <pid>.<8 hex digits>: a pid is 1 to 10 digits without a leading zero.
    auto dot = name.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 10 || name[0] == '0' ||
        name.size() != dot + 1 + kRandomDigits)
        return false;
    std::uint64_t value = 0;
    for (char c : name.substr(0, dot)) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    for (char c : name.substr(dot + 1))
        if (!isLowerHex(c))
            return false;
    if (value > static_cast<std::uint64_t>(INT32_MAX))
        return false;
    if (pid)
        *pid = static_cast<pid_t>(value);
    return true;
}

bool replaceFile(const std::string &path, std::string_view content, mode_t mode, std::string *error) {
    std::string temp;
    UniqueFd fd = createTemporary(path, &temp);
    if (!fd) {
        *error = "cannot create a temporary file for " + path + ": " + errorText(errno);
        return false;
    }
    auto fail = [&](const char *what) {
        *error = std::string(what) + " " + temp + ": " + errorText(errno);
        fd.reset();
        ::unlink(temp.c_str());
        return false;
    };
    if (::fchmod(fd.get(), mode) != 0)
        return fail("cannot set the mode of");
    if (!writeAll(fd.get(), content))
        return fail("cannot write");
    if (::fsync(fd.get()) != 0)
        return fail("cannot sync");
    if (::close(fd.release()) != 0)
        return fail("cannot close");
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temp + " to " + path + ": " + errorText(errno);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename is durable once the directory is synced; a failure here
    // leaves a complete file in place, so it is not reported.
    UniqueFd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
    return true;
}

std::vector<std::string> removeStaleTemporaries(const std::string &path) {
    std::vector<std::string> removed;
    UniqueDir dir(::opendir(directoryOf(path).c_str()));
    if (!dir)
        return removed;
    const std::string base = baseNameOf(path);
    const int dirFd = ::dirfd(dir.get());
    while (const dirent *entry = ::readdir(dir.get())) {
        pid_t writer = 0;
        if (!isTemporaryName(entry->d_name, base, &writer) || writer == ::getpid() || processRuns(writer))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0)
            removed.emplace_back(entry->d_name);
    }
    return removed;
}

}  // namespace vrex
