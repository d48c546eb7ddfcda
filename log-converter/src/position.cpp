// Saved follower position: its text, the atomic replacement of the file, and
// the fingerprint that tells whether a file still holds the content the
// position was taken in.
#include "position.h"

#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

namespace vrex {

namespace {

constexpr std::string_view kHeader = "vrex-log-converter position 2\n";
// Longest text formatPosition can produce: a full cache (1,000 lines of 33
// bytes) and the fixed lines. Anything longer is not ours.
constexpr std::size_t kMaxPositionText = 64 * 1024;
constexpr std::size_t kDigestDigits = 32;

// Content digests and the check are taken under a fixed key: a later
// process must compute the same ones. (The duplicate cache has its own,
// random key.)
const KeyDigester &contentDigester() {
    static const KeyDigester digester(
        KeyDigester::Key{'v', 'r', 'e', 'x', ' ', 'p', 'o', 's', 'i', 't', 'i', 'o', 'n', ' ', 'v', '2'});
    return digester;
}

void appendHex(std::string *out, std::uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    for (int shift = 60; shift >= 0; shift -= 4)
        out->push_back(digits[(value >> shift) & 0xf]);
}

std::string hexOf(const KeyDigest &digest) {
    std::string text;
    appendHex(&text, digest.high);
    appendHex(&text, digest.low);
    return text;
}

std::string hexOf(const KeyDigester::Key &key) {
    std::string text;
    for (std::uint8_t byte : key) {
        text.push_back("0123456789abcdef"[byte >> 4]);
        text.push_back("0123456789abcdef"[byte & 0xf]);
    }
    return text;
}

// Reads the text line by line, each field strictly in the form written.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::size_t offset() const { return static_cast<std::size_t>(text_.data() - start_); }
    bool atEnd() const { return text_.empty(); }
    bool peek(std::string_view word) const { return text_.substr(0, word.size()) == word; }

    bool literal(std::string_view word) {
        if (!peek(word))
            return false;
        text_.remove_prefix(word.size());
        return true;
    }

    // A decimal number without a leading zero (but "0"), then terminator.
    bool number(char terminator, std::uint64_t *value) {
        const char *begin = text_.data(), *end = begin + text_.size();
        if (begin == end || *begin < '0' || *begin > '9' ||
            (*begin == '0' && end - begin > 1 && begin[1] != terminator))
            return false;
        auto [ptr, ec] = std::from_chars(begin, end, *value);
        if (ec != std::errc() || ptr == end || *ptr != terminator)
            return false;
        text_.remove_prefix(static_cast<std::size_t>(ptr - begin) + 1);
        return true;
    }

    bool number32(char terminator, std::uint32_t *value) {
        std::uint64_t wide = 0;
        if (!number(terminator, &wide) || wide > UINT32_MAX)
            return false;
        *value = static_cast<std::uint32_t>(wide);
        return true;
    }

    // 32 lower-case hexadecimal digits, then terminator, into 16 bytes.
    bool hex(char terminator, std::uint8_t (&bytes)[16]) {
        if (text_.size() < kDigestDigits + 1 || text_[kDigestDigits] != terminator)
            return false;
        for (std::size_t i = 0; i < kDigestDigits; ++i) {
            const char c = text_[i];
            const int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (nibble < 0)
                return false;
            bytes[i / 2] = static_cast<std::uint8_t>(i % 2 == 0 ? nibble << 4 : bytes[i / 2] | nibble);
        }
        text_.remove_prefix(kDigestDigits + 1);
        return true;
    }

    bool digest(char terminator, KeyDigest *digest) {
        std::uint8_t bytes[16];
        if (!hex(terminator, bytes))
            return false;
        digest->high = digest->low = 0;
        for (int i = 0; i < 8; ++i) {
            digest->high = digest->high << 8 | bytes[i];
            digest->low = digest->low << 8 | bytes[8 + i];
        }
        return true;
    }

    bool key(char terminator, KeyDigester::Key *key) {
        std::uint8_t bytes[16];
        if (!hex(terminator, bytes))
            return false;
        std::copy(std::begin(bytes), std::end(bytes), key->begin());
        return true;
    }

private:
    std::string_view text_;
    const char *start_ = text_.data();
};

std::optional<SavedPosition> parseOlderForm(std::string_view text) {
    // "<device> <inode> <offset>\n", numbers as the older writer wrote them.
    auto number = [&text](char terminator, std::uint64_t *value) {
        const char *begin = text.data(), *end = begin + text.size();
        if (begin == end || *begin < '0' || *begin > '9')
            return false;
        auto [ptr, ec] = std::from_chars(begin, end, *value);
        if (ec != std::errc() || ptr == end || *ptr != terminator)
            return false;
        text.remove_prefix(static_cast<std::size_t>(ptr - begin) + 1);
        return true;
    };
    SavedPosition saved;
    FilePosition &p = saved.position;
    if (text.size() > 64 || !number(' ', &p.device) || !number(' ', &p.inode) || !number('\n', &p.offset) ||
        !text.empty())
        return std::nullopt;
    return saved;
}

bool parseReplay(Reader &in, ReplayState *replay) {
    OutputMark &out = replay->output;
    std::uint64_t count = 0;
    if (!in.literal("output ") || !in.number(' ', &out.device) || !in.number(' ', &out.inode) ||
        !in.number('\n', &out.size) || !in.literal("cache ") || !in.key(' ', &replay->cache.key) ||
        !in.number('\n', &count) || count > kDuplicateCacheLimit)
        return false;
    auto &digests = replay->cache.digests;
    digests.resize(count);
    for (KeyDigest &d : digests)
        if (!in.digest('\n', &d) || d == KeyDigest{})
            return false;
    // The cache never holds one digest twice.
    std::vector<KeyDigest> sorted = digests;
    auto less = [](const KeyDigest &a, const KeyDigest &b) {
        return a.high != b.high ? a.high < b.high : a.low < b.low;
    };
    std::sort(sorted.begin(), sorted.end(), less);
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

std::string systemError(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + errorText(errno);
}

// Reads exactly length bytes at offset; false when the file has fewer.
bool readExactly(int fd, std::uint64_t offset, std::size_t length, std::string *bytes) {
    bytes->resize(length);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, bytes->data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool digestAt(int fd, std::uint64_t offset, std::size_t length, KeyDigest *digest) {
    std::string bytes;
    if (!readExactly(fd, offset, length, &bytes))
        return false;
    *digest = contentDigester().digest(bytes);
    return true;
}

}  // namespace

std::string positionCheck(std::string_view body) { return hexOf(contentDigester().digest(body)); }

std::string formatPosition(const SavedPosition &saved) {
    const FilePosition &p = saved.position;
    std::string numbers = std::to_string(p.device) + " " + std::to_string(p.inode) + " " + std::to_string(p.offset);
    if (!saved.fingerprint)
        return numbers + "\n";
    const ContentFingerprint &f = *saved.fingerprint;
    std::string text(kHeader);
    text += "input " + numbers + "\n";
    text += "head " + std::to_string(f.headLength) + " " + hexOf(f.head) + "\n";
    text += "tail " + std::to_string(f.tailLength) + " " + hexOf(f.tail) + "\n";
    if (saved.replay) {
        const OutputMark &o = saved.replay->output;
        const DuplicateCacheState &cache = saved.replay->cache;
        text +=
            "output " + std::to_string(o.device) + " " + std::to_string(o.inode) + " " + std::to_string(o.size) + "\n";
        text += "cache " + hexOf(cache.key) + " " + std::to_string(cache.digests.size()) + "\n";
        text.reserve(text.size() + cache.digests.size() * (kDigestDigits + 1) + 64);
        for (const KeyDigest &d : cache.digests)
            text.append(hexOf(d)).push_back('\n');
    }
    const std::string check = positionCheck(text);
    return text + "check " + check + "\n";
}

std::optional<SavedPosition> parsePosition(std::string_view text) {
    if (text.size() > kMaxPositionText)
        return std::nullopt;
    Reader in(text);
    if (!in.literal(kHeader))
        return parseOlderForm(text);
    SavedPosition saved;
    FilePosition &p = saved.position;
    ContentFingerprint f;
    if (!in.literal("input ") || !in.number(' ', &p.device) || !in.number(' ', &p.inode) ||
        !in.number('\n', &p.offset) || !in.literal("head ") || !in.number32(' ', &f.headLength) ||
        !in.digest('\n', &f.head) || !in.literal("tail ") || !in.number32(' ', &f.tailLength) ||
        !in.digest('\n', &f.tail))
        return std::nullopt;
    // The lengths a fingerprint of this offset has.
    const std::uint64_t covered = std::min(p.offset, kFingerprintBytes);
    if (f.headLength > covered || (f.headLength == 0 && p.offset > 0) || f.tailLength != covered)
        return std::nullopt;
    saved.fingerprint = f;
    if (in.peek("output ")) {
        saved.replay.emplace();
        if (!parseReplay(in, &*saved.replay))
            return std::nullopt;
    }
    const std::size_t bodyEnd = in.offset();
    KeyDigest check;
    if (!in.literal("check ") || !in.digest('\n', &check) || !in.atEnd() ||
        hexOf(check) != positionCheck(text.substr(0, bodyEnd)))
        return std::nullopt;
    return saved;
}

std::optional<SavedPosition> loadPosition(const std::string &path, std::string *error) {
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
    auto saved = parsePosition(text);
    if (!saved)
        *error = "malformed position file " + path + " (damaged, or not written by this program)";
    return saved;
}

bool savePosition(const std::string &path, const SavedPosition &saved, std::string *error) {
    return replaceFile(path, formatPosition(saved), 0600, error);
}

std::optional<std::string> findSavedFile(const std::string &besidePath, std::uint64_t device, std::uint64_t inode,
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
        if (static_cast<std::uint64_t>(st.st_dev) == device && static_cast<std::uint64_t>(st.st_ino) == inode)
            return (directory == "/" ? directory : directory + "/") + entry->d_name;
    }
}

bool takeFingerprint(int fd, std::uint64_t offset, ContentFingerprint *fingerprint) {
    const std::size_t covered = static_cast<std::size_t>(std::min(offset, kFingerprintBytes));
    std::string head;
    if (!readExactly(fd, 0, covered, &head))
        return false;
    const std::size_t newline = head.find('\n');
    if (newline != std::string::npos)
        head.resize(newline + 1);
    fingerprint->headLength = static_cast<std::uint32_t>(head.size());
    fingerprint->head = contentDigester().digest(head);
    fingerprint->tailLength = static_cast<std::uint32_t>(covered);
    return digestAt(fd, offset - covered, covered, &fingerprint->tail);
}

ContentMatch compareContent(int fd, std::uint64_t offset, const ContentFingerprint &fingerprint, std::string *why) {
    why->clear();
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *why = "it cannot be examined: " + errorText(errno);
        return ContentMatch::Different;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    KeyDigest digest;
    const bool headSame = size >= fingerprint.headLength && digestAt(fd, 0, fingerprint.headLength, &digest) &&
                          digest == fingerprint.head;
    if (size < offset) {
        if (headSame)
            return ContentMatch::LostTail;
        *why = "it is shorter than the saved position and does not begin as the file did";
        return ContentMatch::Different;
    }
    if (!headSame) {
        *why = "its first line is not the one the position was saved with";
        return ContentMatch::Different;
    }
    if (!digestAt(fd, offset - fingerprint.tailLength, fingerprint.tailLength, &digest) ||
        !(digest == fingerprint.tail)) {
        *why = "the bytes before the saved offset are not the ones the position was saved with";
        return ContentMatch::Different;
    }
    return ContentMatch::Same;
}

}  // namespace vrex
