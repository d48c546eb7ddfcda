// The follower's saved position: which file (device and inode) and the byte
// offset just past the last complete line handed on. Stored as one text line
// "<device> <inode> <offset>\n", replaced atomically.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vrex {

struct FilePosition {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t offset = 0;

    bool operator==(const FilePosition &) const = default;
};

std::string formatPosition(const FilePosition &position);

// Accepts exactly the text formatPosition writes; anything else gives nullopt.
std::optional<FilePosition> parsePosition(std::string_view text);

// Reads and parses the file. A missing file gives nullopt with an empty
// *error; an unreadable or malformed one gives nullopt and says why.
std::optional<FilePosition> loadPosition(const std::string &path, std::string *error);

// Writes a temporary file beside path, syncs it, renames it over path and
// syncs the directory. On failure the temporary file is removed, path is
// left as it was, and *error says why.
bool savePosition(const std::string &path, const FilePosition &position, std::string *error);

// Where the file of a saved position went: the path of a regular file, in
// the directory of besidePath, with the position's device and inode (a log
// renamed by rotation keeps both). Symbolic links are not followed. nullopt
// when there is none; *error is set only when the directory cannot be read.
std::optional<std::string> findSavedFile(const std::string &besidePath, const FilePosition &position,
                                         std::string *error);

}  // namespace vrex
