// The daemon's small system helpers, one of each: owners that close file
// descriptors, FILE streams and DIR streams whichever way a function ends, a
// write that finishes or fails, the system's error text, the pieces of a
// path, and the atomic replacement of a small file.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrex {

// A move-only owner of a file descriptor: closed when the owner goes away,
// so no error path can leak one.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
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
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(std::FILE *stream) const { std::fclose(stream); }
};
// A FILE stream, flushed and closed when the owner goes away.
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// The system's message for an error number ("No such file or directory").
std::string errorText(int err);

// Writes every byte, resuming after interruptions and short writes. False,
// with errno set, when a write fails.
bool writeAll(int fd, std::string_view text);

// Writes the parts one after the other, in one write where the system
// allows, so that no part has to be copied to be joined to the others.
bool writeAllParts(int fd, std::initializer_list<std::string_view> parts);

// Appends to *text what fd holds, reading until its end or until more than
// limit bytes were read (then limit + 1 are kept, enough to tell). False,
// with errno set, when a read fails.
bool readUpTo(int fd, std::size_t limit, std::string *text);

// Which file a name leads to, after symbolic links: two names are of one
// file when both give the same identity.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId &) const = default;
};
// nullopt when the file cannot be examined (it does not exist, say).
std::optional<FileId> fileIdOf(const std::string &path);

// path made absolute with the symbolic links, "." and ".." of its directory
// resolved (and of the file itself when it exists), so that two spellings of
// one name compare equal even before the file is there.
std::string resolvedPath(const std::string &path);

// "/a/b/c" -> "/a/b"; "/c" -> "/"; "c" -> ".".
std::string directoryOf(const std::string &path);
// "/a/b/c" -> "c".
std::string baseNameOf(const std::string &path);

// The name of a temporary file written in place of the file called base:
// ".<base>.tmp.<pid>.<8 hex digits>". Nothing else is named that way, so
// what is left behind by a writer that was killed can be recognised.
std::string temporaryName(std::string_view base, pid_t pid, std::uint32_t random);
// True when name is exactly such a temporary name of base; *pid is its writer.
bool isTemporaryName(std::string_view name, std::string_view base, pid_t *pid);

// Replaces the file at path with content: a temporary file in the same
// directory is written, given mode, synced and renamed over path, then the
// directory is synced. On failure path is left as it was, the temporary
// file is removed and *error says why.
bool replaceFile(const std::string &path, std::string_view content, mode_t mode, std::string *error);

// Removes the temporary files of path that writers no longer running left
// behind (killed between creating and renaming them). Returns their names.
std::vector<std::string> removeStaleTemporaries(const std::string &path);

}  // namespace vrex
