// The follower's saved position: which file (device and inode, and a
// fingerprint of its content) and the byte offset just past the last
// complete line handed on; with it, what a restart after a crash needs to
// decide the lines after that offset again exactly as the crashed run did
// (the output's identity and size at that point, and the duplicate cache).
//
// The file is text, replaced atomically:
//
//   vrex-log-converter position 2
//   input <device> <inode> <offset>
//   head <length> <digest>        the first line, or the first 4 KiB
//   tail <length> <digest>        the 4 KiB (at most) before the offset
//   output <device> <inode> <size>          } only while a replay may be
//   cache <key> <count>                     } due; then <count> lines of
//   <digest>                                } one digest each
//   check <digest>                the digest of every byte before this line
//
// Digests and the key are 32 lower-case hexadecimal digits; numbers are
// decimal without leading zeros. The older form, one line
// "<device> <inode> <offset>", is still read (it carries no fingerprint).
#pragma once

#include "key_digest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vrex {

// How much of the content the fingerprint covers at either end.
inline constexpr std::uint64_t kFingerprintBytes = 4096;

struct FilePosition {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t offset = 0;

    bool operator==(const FilePosition &) const = default;
};

// The content a position was taken in: the digest of the file's first line
// (or first 4 KiB, whichever ends first, never past the offset) and of the
// bytes before the offset (4 KiB, or all of them when fewer).
struct ContentFingerprint {
    std::uint32_t headLength = 0;
    KeyDigest head;
    std::uint32_t tailLength = 0;
    KeyDigest tail;

    bool operator==(const ContentFingerprint &) const = default;
};

// Where the events of the lines before the position end in the output.
struct OutputMark {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;

    bool operator==(const OutputMark &) const = default;
};

struct ReplayState {
    OutputMark output;
    DuplicateCacheState cache;

    bool operator==(const ReplayState &) const = default;
};

struct SavedPosition {
    FilePosition position;
    // Absent in the older form.
    std::optional<ContentFingerprint> fingerprint;
    // Absent after a clean stop: nothing is to be replayed then.
    std::optional<ReplayState> replay;

    bool operator==(const SavedPosition &) const = default;
};

// The text of the file. Without a fingerprint, the older one-line form
// (which cannot carry a replay state).
std::string formatPosition(const SavedPosition &saved);

// Accepts exactly the text formatPosition writes, in either form, with a
// check that matches; anything else (damaged, foreign) gives nullopt.
std::optional<SavedPosition> parsePosition(std::string_view text);

// The digest the check line carries for the text before it.
std::string positionCheck(std::string_view body);

// Reads and parses the file. A missing file gives nullopt with an empty
// *error; an unreadable, damaged or foreign one gives nullopt and says why.
std::optional<SavedPosition> loadPosition(const std::string &path, std::string *error);

// Writes a temporary file beside path, syncs it, renames it over path and
// syncs the directory. On failure the temporary file is removed, path is
// left as it was, and *error says why. The file is readable by its owner
// only: the duplicate cache's key is in it.
bool savePosition(const std::string &path, const SavedPosition &saved, std::string *error);

// Where the file of a saved position went: the path of a regular file, in
// the directory of besidePath, with this device and inode (a log renamed by
// rotation keeps both). Symbolic links are not followed. nullopt when there
// is none; *error is set only when the directory cannot be read.
std::optional<std::string> findSavedFile(const std::string &besidePath, std::uint64_t device, std::uint64_t inode,
                                         std::string *error);

// The fingerprint of the content of the open file fd before offset; false
// when those bytes cannot all be read (the file became shorter).
bool takeFingerprint(int fd, std::uint64_t offset, ContentFingerprint *fingerprint);

enum class ContentMatch {
    Same,      // the content the position was taken in: resume at it
    LostTail,  // shorter than the offset but beginning as before: its
               // writer lost its end (a crash); resume at its end
    Different  // other content (copied and truncated, or an inode reused)
};

// How the open file fd compares with the content a position was taken in;
// *why says what differs when it is not the same.
ContentMatch compareContent(int fd, std::uint64_t offset, const ContentFingerprint &fingerprint, std::string *why);

}  // namespace vrex
