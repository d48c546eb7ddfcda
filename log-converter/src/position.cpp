// Saved follower position: text format and atomic replacement of the file.
#include "position.h"

#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace vrex {

namespace {

// Longest text formatPosition can produce: three 20-digit numbers, two
// blanks and a newline. Anything longer is not ours.
constexpr std::size_t kMaxPositionText = 64;

bool parseNumber(std::string_view &text, char terminator, std::uint64_t *value) {
    const char *begin = text.data();
    const char *end = begin + text.size();
    if (begin == end || *begin < '0' || *begin > '9')
        return false;
    auto [ptr, ec] = std::from_chars(begin, end, *value);
    if (ec != std::errc() || ptr == end || *ptr != terminator)
        return false;
    text.remove_prefix(static_cast<std::size_t>(ptr - begin) + 1);
    return true;
}

std::string systemError(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + errorText(errno);
}

}  // namespace

std::string formatPosition(const FilePosition &position) {
    return std::to_string(position.device) + " " + std::to_string(position.inode) + " " +
           std::to_string(position.offset) + "\n";
}

std::optional<FilePosition> parsePosition(std::string_view text) {
    if (text.size() > kMaxPositionText)
        return std::nullopt;
    FilePosition position;
    if (!parseNumber(text, ' ', &position.device) || !parseNumber(text, ' ', &position.inode) ||
        !parseNumber(text, '\n', &position.offset) || !text.empty())
        return std::nullopt;
    return position;
}

std::optional<FilePosition> loadPosition(const std::string &path, std::string *error) {
    error->clear();
    // Not blocking: something other than a file at this path (a FIFO) must
    // not hold the start up; it reads as malformed.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno != ENOENT)
            *error = systemError("cannot open", path);
        return std::nullopt;
    }
    std::string text;
    if (!readUpTo(fd.get(), kMaxPositionText, &text)) {
        *error = systemError("cannot read", path);
        return std::nullopt;
    }
    auto position = parsePosition(text);
    if (!position)
        *error = "malformed position file " + path;
    return position;
}

bool savePosition(const std::string &path, const FilePosition &position, std::string *error) {
    return replaceFile(path, formatPosition(position), 0644, error);
}

std::optional<std::string> findSavedFile(const std::string &besidePath, const FilePosition &position,
                                         std::string *error) {
    error->clear();
    const std::string directory = directoryOf(besidePath);
    UniqueFd dirFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) {
        *error = systemError("cannot open the directory", directory);
        return std::nullopt;
    }
    UniqueDir dir(::fdopendir(dirFd.get()));
    if (!dir) {
        *error = systemError("cannot read the directory", directory);
        return std::nullopt;
    }
    const int fd = dirFd.release();  // now owned by dir
    // d_ino is not compared: on stacked file systems it may differ from
    // what stat reports, and stat is what the position was taken from.
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                *error = systemError("cannot read the directory", directory);
            return std::nullopt;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
            continue;
        struct stat st {};
        if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (static_cast<std::uint64_t>(st.st_dev) == position.device &&
            static_cast<std::uint64_t>(st.st_ino) == position.inode)
            return (directory == "/" ? directory : directory + "/") + entry->d_name;
    }
}

}  // namespace vrex
