// The container policy store: the XML line format, whole-file load and
// crash-safe save, the load-change-save operations under a file lock, and the
// one-write push of all records to the kernel status file.
#include "store_core.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "securec.h"

namespace vault {

namespace {

constexpr const char *kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
constexpr const char *kRootName = "container_policies";
constexpr size_t kIdLength = 64;
constexpr size_t kRecordSize = sizeof(_ContainerPolicy);
constexpr size_t kMaxPathLength = 255;
constexpr size_t kMaxAttrNameLength = 256;
constexpr size_t kValueBufferSize = 16;
constexpr size_t kInitialCapacity = 16;
// A line that yields a record holds "policy", "id" and 64 hexadecimal
// characters, none of which can overlap; with its newline that is 73 bytes.
constexpr size_t kMinPolicyLine = 73;
// Beyond this many records (4.5 MB) the array grows by doubling instead.
constexpr size_t kMaxInitialCapacity = 65536;
// The file is read in pieces of this size; a line longer than that grows
// the buffer.
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kWriteBuffer = 64 * 1024;

// Owns a file descriptor; closes it on every path out of a function.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Owns a malloc'd block (record arrays and I/O buffers).
template <typename T>
struct Malloced {
    T *ptr = nullptr;
    ~Malloced() { std::free(ptr); }
    T *release() {
        T *p = ptr;
        ptr = nullptr;
        return p;
    }
};

// Hexadecimal digit table, for the identifier rule and the fast line path.
struct HexTable {
    bool digit[256] = {};
    constexpr HexTable() {
        for (int c = '0'; c <= '9'; ++c)
            digit[c] = true;
        for (int c = 'a'; c <= 'f'; ++c)
            digit[c] = true;
        for (int c = 'A'; c <= 'F'; ++c)
            digit[c] = true;
    }
};
constexpr HexTable kHex;

inline bool isHex(char c) { return kHex.digit[static_cast<unsigned char>(c)]; }

// The 64 characters at p are hexadecimal digits. Branch-free, so that the
// compiler can check them as vectors.
bool allHex(const char *p) {
    unsigned bad = 0;
    for (size_t i = 0; i < kIdLength; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        unsigned digit = static_cast<unsigned char>(c - '0') < 10;
        unsigned letter = static_cast<unsigned char>((c | 0x20) - 'a') < 6;
        bad |= (digit | letter) ^ 1u;
    }
    return bad == 0;
}

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Base-10 conversion as strtol does it (leading white space, a sign, digits),
// truncated to 8 bits. Unsigned wrap-around keeps exactly the low bits of the
// true value whatever its size, so "256" is 0, "300" is 44 and "-1" is 255.
uint8_t toSwitchByte(const char *s) {
    while (isCSpace(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = (*s++ == '-');
    unsigned long value = 0;
    for (; *s >= '0' && *s <= '9'; ++s)
        value = value * 10u + static_cast<unsigned long>(*s - '0');
    if (negative)
        value = 0u - value;
    return static_cast<uint8_t>(value & 0xffu);
}

// The attribute reader on a line given by pointer and length.
bool parseAttrIn(const char *line, size_t len, const char *name, size_t nameLen, char *out, size_t outSize) {
    const char *end = line + len;
    const char *hit = static_cast<const char *>(::memmem(line, len, name, nameLen));
    if (hit == nullptr)
        return false;
    const char *q = hit + nameLen;
    while (q < end && (*q == ' ' || *q == '"' || *q == '='))
        ++q;
    if (q == end) {
        out[0] = '\0';
        return false;
    }
    size_t room = outSize - 1;
    size_t avail = static_cast<size_t>(end - q);
    size_t scan = avail < room ? avail : room;
    const char *quote = static_cast<const char *>(std::memchr(q, '"', scan));
    size_t n = quote != nullptr ? static_cast<size_t>(quote - q) : scan;
    std::memcpy(out, q, n);
    out[n] = '\0';
    return true;
}

bool contains(const char *line, size_t len, const char *needle, size_t needleLen) {
    return ::memmem(line, len, needle, needleLen) != nullptr;
}

// A growing record array: capacity 16, doubling when full.
class RecordArray {
public:
    ~RecordArray() { std::free(data_); }
    // Room for 16 records, or for as many as the text can hold at most, so
    // that a large store is not copied by repeated doubling.
    int reserveInitial(size_t textSize) {
        size_t bound = textSize / kMinPolicyLine + 1;
        if (bound > kMaxInitialCapacity)
            bound = kMaxInitialCapacity;
        size_t capacity = bound > kInitialCapacity ? bound : kInitialCapacity;
        data_ = static_cast<_ContainerPolicy *>(std::malloc(capacity * kRecordSize));
        if (data_ == nullptr) {
            std::perror("malloc");
            return -1;
        }
        capacity_ = capacity;
        return 0;
    }
    int append(const _ContainerPolicy &rec) {
        if (count_ == INT_MAX) {
            std::fputs("Too many policies in XML\n", stderr);
            return -1;
        }
        if (static_cast<size_t>(count_) == capacity_) {
            size_t newCapacity = capacity_ * 2;
            void *grown = std::realloc(data_, newCapacity * kRecordSize);
            if (grown == nullptr) {
                std::perror("realloc");
                return -1;
            }
            data_ = static_cast<_ContainerPolicy *>(grown);
            capacity_ = newCapacity;
        }
        std::memcpy(&data_[count_], &rec, kRecordSize);
        ++count_;
        return 0;
    }
    int count() const { return count_; }
    // Hands the block over (nullptr, and the block released, when empty).
    _ContainerPolicy *take() {
        if (count_ == 0) {
            std::free(data_);
            data_ = nullptr;
        }
        _ContainerPolicy *p = data_;
        data_ = nullptr;
        capacity_ = 0;
        return p;
    }

private:
    _ContainerPolicy *data_ = nullptr;
    size_t capacity_ = 0;
    int count_ = 0;
};

// Reads 1 to 3 decimal digits at *p (before end) ending in a quote; the
// value is truncated to 8 bits like the general path's conversion.
bool fastNumber(const char *&p, const char *end, uint8_t &value) {
    unsigned v = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9' && digits < 3) {
        v = v * 10u + static_cast<unsigned>(*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0 || p >= end || *p != '"')
        return false;
    value = static_cast<uint8_t>(v & 0xffu);
    return true;
}

bool fastLiteral(const char *&p, const char *end, const char *lit, size_t litLen) {
    if (static_cast<size_t>(end - p) < litLen || std::memcmp(p, lit, litLen) != 0)
        return false;
    p += litLen;
    return true;
}

#define LIT(s) s, sizeof(s) - 1

// The line exactly as save writes it, with a valid identifier and switch
// values of 1 to 3 digits. For such a line every rule of the general path
// gives the same record: it holds "policy", no "<?xml" and no
// "container_policies", and none of the names "id", "global", "exec", "net",
// "file" can occur in a hexadecimal identifier or before its own attribute.
bool parseCanonicalLine(const char *line, size_t len, _ContainerPolicy &rec) {
    const char *p = line;
    const char *end = line + len;
    if (!fastLiteral(p, end, LIT("  <policy id=\"")))
        return false;
    if (static_cast<size_t>(end - p) < kIdLength + 1)
        return false;
    if (!allHex(p))
        return false;
    const char *id = p;
    p += kIdLength;
    if (!fastLiteral(p, end, LIT("\" global=\"")) || !fastNumber(p, end, rec.global_switch))
        return false;
    if (!fastLiteral(p, end, LIT("\" exec=\"")) || !fastNumber(p, end, rec.exec_control))
        return false;
    if (!fastLiteral(p, end, LIT("\" net=\"")) || !fastNumber(p, end, rec.network_control))
        return false;
    if (!fastLiteral(p, end, LIT("\" file=\"")) || !fastNumber(p, end, rec.file_protection))
        return false;
    if (!fastLiteral(p, end, LIT("\"/>")) || p != end)
        return false;
    std::memcpy(rec.container_id, id, kIdLength);
    rec.container_id[kIdLength] = '\0';
    return true;
}

// One line of the file (no newline, not empty). Returns -1 only when the
// record could not be appended.
int parseLine(const char *line, size_t len, RecordArray &records, bool quiet) {
    _ContainerPolicy rec;
    std::memset(&rec, 0, sizeof rec);
    if (parseCanonicalLine(line, len, rec))
        return records.append(rec);

    // The text of a line ends at a NUL byte, as for any C string.
    if (const void *nul = std::memchr(line, '\0', len))
        len = static_cast<size_t>(static_cast<const char *>(nul) - line);
    if (!contains(line, len, LIT("policy")) || contains(line, len, LIT("<?xml")) ||
        contains(line, len, LIT("container_policies")))
        return 0;

    char id[kIdLength + 1];
    if (!parseAttrIn(line, len, LIT("id"), id, sizeof id))
        return 0;
    if (!is_valid_container_id(id)) {
        if (!quiet)
            std::fprintf(stderr, "Invalid container ID in XML: %s\n", id);
        return 0;
    }
    std::memcpy(rec.container_id, id, sizeof id);

    struct {
        const char *name;
        size_t nameLen;
        uint8_t *field;
    } const switches[] = {
        {LIT("global"), &rec.global_switch},
        {LIT("exec"), &rec.exec_control},
        {LIT("net"), &rec.network_control},
        {LIT("file"), &rec.file_protection},
    };
    for (const auto &sw : switches) {
        char value[kValueBufferSize];
        if (parseAttrIn(line, len, sw.name, sw.nameLen, value, sizeof value))
            *sw.field = toSwitchByte(value);
    }
    return records.append(rec);
}

// Parses every line of data that ends in a newline (runs of newlines are
// one separator) and tells how many bytes that took; the rest is an
// unfinished last line.
int parseCompleteLines(const char *data, size_t size, RecordArray &records, bool quiet, size_t *used) {
    const char *p = data;
    const char *end = data + size;
    while (p < end) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl == nullptr)
            break;
        if (nl != p && parseLine(p, static_cast<size_t>(nl - p), records, quiet) != 0)
            return -1;
        p = nl + 1;
    }
    *used = static_cast<size_t>(p - data);
    return 0;
}

// Formats one policy line exactly as
// "  <policy id=\"%s\" global=\"%u\" exec=\"%u\" net=\"%u\" file=\"%u\"/>\n".
size_t formatPolicyLine(const _ContainerPolicy &rec, char *out) {
    char *p = out;
    auto put = [&p](const char *s, size_t n) {
        std::memcpy(p, s, n);
        p += n;
    };
    auto num = [&p](uint8_t v) {
        if (v >= 100)
            *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10)
            *p++ = static_cast<char>('0' + (v / 10) % 10);
        *p++ = static_cast<char>('0' + v % 10);
    };
    put(LIT("  <policy id=\""));
    put(rec.container_id, kIdLength);
    put(LIT("\" global=\""));
    num(rec.global_switch);
    put(LIT("\" exec=\""));
    num(rec.exec_control);
    put(LIT("\" net=\""));
    num(rec.network_control);
    put(LIT("\" file=\""));
    num(rec.file_protection);
    put(LIT("\"/>\n"));
    return static_cast<size_t>(p - out);
}
constexpr size_t kMaxPolicyLine = 14 + 64 + 10 + 3 + 8 + 3 + 7 + 3 + 8 + 3 + 4;

void readFailure(const char *path) { std::fprintf(stderr, "Failed to read XML file: %s\n", path); }

// Splits path into its directory (or "." when it has none) and base name.
void splitPath(const char *path, char *dir, size_t dirSize, const char **base) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::snprintf(dir, dirSize, ".");
        *base = path;
    } else if (slash == path) {
        std::snprintf(dir, dirSize, "/");
        *base = slash + 1;
    } else {
        std::snprintf(dir, dirSize, "%.*s", static_cast<int>(slash - path), path);
        *base = slash + 1;
    }
}

// Refuses to replace anything but a regular file (or nothing): a symbolic
// link gets the error the no-follow open would give.
int checkReplaceable(const char *path) {
    struct stat st;
    if (::lstat(path, &st) != 0) {
        if (errno == ENOENT)
            return 0;
        std::perror("open");
        return -1;
    }
    if (S_ISLNK(st.st_mode)) {
        errno = ELOOP;
        std::perror("open");
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "Path is not a regular file: %s\n", path);
        return -1;
    }
    return 0;
}

// Creates a fresh temporary file beside the store: exclusive, no-follow, 0600.
int createTemp(const char *dir, const char *base, char *tmpPath, size_t tmpSize) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec ts;
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        unsigned tag = static_cast<unsigned>(ts.tv_nsec) ^ (counter.fetch_add(1) * 2654435761u);
        int n = std::snprintf(tmpPath, tmpSize, "%s/.%s.%d.%08x", dir, base, static_cast<int>(::getpid()), tag);
        if (n < 0 || static_cast<size_t>(n) >= tmpSize) {
            std::fputs("Path too long\n", stderr);
            return -1;
        }
        int fd = ::open(tmpPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            std::perror("open");
            return -1;
        }
    }
    std::perror("open");
    return -1;
}

// Removes temporary files that a writer killed mid-save left beside the
// store. Only called under the store lock, so no live writer owns one.
void removeStaleTemps(const char *dir, const char *base) {
    DIR *d = ::opendir(dir);
    if (d == nullptr)
        return;
    size_t baseLen = std::strlen(base);
    while (const struct dirent *e = ::readdir(d)) {
        const char *n = e->d_name;
        if (n[0] == '.' && std::strncmp(n + 1, base, baseLen) == 0 && n[1 + baseLen] == '.' && n[2 + baseLen] != '\0')
            ::unlinkat(::dirfd(d), n, 0);
    }
    ::closedir(d);
}

// Writes the whole store file as a temporary file that replaces the old one
// by rename, so the path always holds either the old or the new content.
int writeStoreFile(const char *path, const _ContainerPolicy *policies, int count) {
    if (checkReplaceable(path) != 0)
        return -1;

    char dir[kMaxPathLength + 2];
    const char *base = nullptr;
    splitPath(path, dir, sizeof dir, &base);
    removeStaleTemps(dir, base);
    char tmpPath[kMaxPathLength + 64];
    Fd fd(createTemp(dir, base, tmpPath, sizeof tmpPath));
    if (fd.get() < 0)
        return -1;

    struct TempGuard {
        const char *path;
        bool keep = false;
        ~TempGuard() {
            if (!keep)
                ::unlink(path);
        }
    } guard{tmpPath};

    // A large stream buffer: a store of thousands of records goes out in a
    // few writes. It outlives the stream, which is closed on every path.
    Malloced<char> streamBuffer;
    streamBuffer.ptr = static_cast<char *>(std::malloc(kWriteBuffer));
    FILE *stream = ::fdopen(fd.get(), "w");
    if (stream == nullptr) {
        std::perror("fdopen");
        return -1;
    }
    fd.release();
    if (streamBuffer.ptr != nullptr)
        std::setvbuf(stream, streamBuffer.ptr, _IOFBF, kWriteBuffer);

    char head[128];
    int headLen = std::snprintf(head, sizeof head, "%s<%s>\n", kXmlDeclaration, kRootName);
    std::fwrite(head, 1, static_cast<size_t>(headLen), stream);
    for (int i = 0; i < count; ++i) {
        const _ContainerPolicy &rec = policies[i];
        if (!is_valid_container_id(rec.container_id)) {
            std::fprintf(stderr, "Invalid container ID at index %d: %.*s\n", i,
                         static_cast<int>(sizeof rec.container_id), rec.container_id);
            continue;
        }
        char line[kMaxPolicyLine];
        std::fwrite(line, 1, formatPolicyLine(rec, line), stream);
    }
    std::fprintf(stream, "</%s>\n", kRootName);

    bool ok = std::fflush(stream) == 0 && !std::ferror(stream);
    if (!ok)
        std::perror("write");
    if (ok && ::fsync(::fileno(stream)) != 0) {
        std::perror("fsync");
        ok = false;
    }
    if (std::fclose(stream) != 0 && ok) {
        std::perror("close");
        ok = false;
    }
    if (!ok)
        return -1;

    if (::rename(tmpPath, path) != 0) {
        std::perror("rename");
        return -1;
    }
    guard.keep = true;

    // Make the rename itself durable.
    Fd dirFd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0 || ::fsync(dirFd.get()) != 0) {
        std::perror("fsync");
        return -1;
    }
    return 0;
}

// Holds the exclusive lock on the file beside the store for its lifetime.
class StoreLock {
public:
    // 0 when locked, or when the store's directory does not exist (then no
    // store file can exist either, and there is nothing to protect).
    int acquire(const char *path) {
        char lockPath[kMaxPathLength + 16];
        int n = std::snprintf(lockPath, sizeof lockPath, "%s%s", path, kLockSuffix);
        if (n < 0 || static_cast<size_t>(n) >= sizeof lockPath) {
            std::fputs("Path too long\n", stderr);
            return -1;
        }
        fd_.reset(::open(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd_.get() < 0) {
            if (errno == ENOENT)
                return 0;
            std::perror("lock");
            return -1;
        }
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                std::perror("lock");
                return -1;
            }
        }
        return 0;
    }

private:
    Fd fd_;
};

int findIndex(const _ContainerPolicy *policies, int count, const char *id) {
    for (int i = 0; i < count; ++i)
        if (std::memcmp(policies[i].container_id, id, kIdLength) == 0)
            return i;
    return -1;
}

int saveUnlocked(const char *path, const _ContainerPolicy *policies, int count) {
    if (writeStoreFile(path, policies, count) != 0)
        return -1;
    std::fprintf(stdout, "Successfully saved %d policies to %s\n", count, path);
    return 0;
}

}  // namespace

bool is_valid_container_id(const char *id) {
    if (id == nullptr)
        return false;
    for (size_t i = 0; i < kIdLength; ++i)
        if (!isHex(id[i]))
            return false;  // a NUL is not a hexadecimal digit
    return id[kIdLength] == '\0';
}

bool parse_attr(const char *line, const char *name, char *out, size_t out_size) {
    if (line == nullptr || name == nullptr || out == nullptr || out_size == 0)
        return false;
    size_t nameLen = ::strnlen(name, kMaxAttrNameLength + 1);
    if (nameLen == 0 || nameLen > kMaxAttrNameLength)
        return false;
    return parseAttrIn(line, std::strlen(line), name, nameLen, out, out_size);
}

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

int parse_policies(const char *data, size_t size, _ContainerPolicy **policies, int *count, bool quiet) {
    *policies = nullptr;
    *count = 0;
    RecordArray records;
    if (records.reserveInitial(size) != 0)
        return -1;
    size_t used = 0;
    if (parseCompleteLines(data, size, records, quiet, &used) != 0)
        return -1;
    if (used < size && parseLine(data + used, size - used, records, quiet) != 0)
        return -1;
    *count = records.count();
    *policies = records.take();
    return 0;
}

int load(const char *path, _ContainerPolicy **policies, int *count, bool announce) {
    if (policies == nullptr || count == nullptr || path == nullptr) {
        std::fputs("Invalid parameters\n", stderr);
        return -1;
    }
    *policies = nullptr;
    *count = 0;

    // Non-blocking, so that a FIFO at the path is refused instead of waited on.
    Fd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
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
    size_t size = static_cast<size_t>(end);

    // The file is parsed as it is read, a piece at a time, so the text never
    // needs a buffer of its own size; lines are cut exactly as in one piece.
    RecordArray records;
    if (records.reserveInitial(size) != 0)
        return -1;
    size_t capacity = size < kReadChunk ? size + 1 : kReadChunk;
    Malloced<char> buf;
    buf.ptr = static_cast<char *>(std::malloc(capacity));
    if (buf.ptr == nullptr) {
        std::perror("malloc");
        return -1;
    }
    size_t have = 0;  // unparsed bytes at the start of buf
    size_t total = 0;
    while (total < size) {
        if (have == capacity) {
            void *grown = std::realloc(buf.ptr, capacity * 2);
            if (grown == nullptr) {
                std::perror("realloc");
                return -1;
            }
            buf.ptr = static_cast<char *>(grown);
            capacity *= 2;
        }
        size_t want = capacity - have < size - total ? capacity - have : size - total;
        ssize_t got = ::read(fd.get(), buf.ptr + have, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {  // a short read: the file shrank under us
            readFailure(path);
            return -1;
        }
        total += static_cast<size_t>(got);
        have += static_cast<size_t>(got);
        size_t used = 0;
        if (parseCompleteLines(buf.ptr, have, records, false, &used) != 0)
            return -1;
        if (used > 0) {
            std::memmove(buf.ptr, buf.ptr + used, have - used);
            have -= used;
        }
    }
    fd.reset();
    if (have > 0 && parseLine(buf.ptr, have, records, false) != 0)
        return -1;

    int n = records.count();
    *policies = records.take();
    *count = n;
    if (announce)
        std::fprintf(stdout, "Successfully loaded %d policies from %s\n", n, path);
    return 0;
}

bool exists(const char *path) {
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int save(const char *path, const _ContainerPolicy *policies, int count) {
    if (path == nullptr || count < 0 || (count > 0 && policies == nullptr)) {
        std::fputs("Invalid parameters\n", stderr);
        return -1;
    }
    if (check_directory_exists(path) != 0)
        return -1;
    StoreLock lock;
    if (lock.acquire(path) != 0)
        return -1;
    return saveUnlocked(path, policies, count);
}

int init(const char *path) { return check_directory_exists(path) == 0 ? 0 : -1; }

int add_policy(const char *path, const _ContainerPolicy *policy) {
    if (policy == nullptr || !is_valid_container_id(policy->container_id)) {
        std::fputs("Invalid policy or container ID\n", stderr);
        return -1;
    }
    if (check_directory_exists(path) != 0) {
        std::fputs("Failed to check directory exists\n", stderr);
        return -1;
    }
    StoreLock lock;
    if (lock.acquire(path) != 0)
        return -1;

    Malloced<_ContainerPolicy> records;
    int count = 0;
    if (load(path, &records.ptr, &count) != 0)
        return -1;
    int at = findIndex(records.ptr, count, policy->container_id);
    if (at >= 0) {
        std::memcpy(&records.ptr[at], policy, kRecordSize);
    } else {
        if (count == INT_MAX) {
            std::fputs("Too many policies in XML\n", stderr);
            return -1;
        }
        void *grown = std::realloc(records.ptr, (static_cast<size_t>(count) + 1) * kRecordSize);
        if (grown == nullptr) {
            std::perror("realloc");
            return -1;
        }
        records.ptr = static_cast<_ContainerPolicy *>(grown);
        std::memcpy(&records.ptr[count], policy, kRecordSize);
        ++count;
    }
    int rc = saveUnlocked(path, records.ptr, count);
    if (rc == 0)
        std::fprintf(stdout, "Successfully added/updated policy for container %s\n", policy->container_id);
    return rc;
}

int remove_policy(const char *path, const char *container_id) {
    if (!is_valid_container_id(container_id)) {
        std::fputs("Invalid container ID\n", stderr);
        return -1;
    }
    StoreLock lock;
    if (lock.acquire(path) != 0)
        return -1;

    Malloced<_ContainerPolicy> records;
    int count = 0;
    if (load(path, &records.ptr, &count) != 0)
        return -1;
    int at = findIndex(records.ptr, count, container_id);
    if (at < 0)
        return 0;
    std::memmove(&records.ptr[at], &records.ptr[at + 1], static_cast<size_t>(count - at - 1) * kRecordSize);
    int rc = saveUnlocked(path, records.ptr, count - 1);
    if (rc == 0)
        std::fprintf(stdout, "Successfully removed policy for container %s\n", container_id);
    return rc;
}

int find_policy(const char *path, const char *container_id, _ContainerPolicy *out) {
    if (container_id == nullptr || out == nullptr || !is_valid_container_id(container_id)) {
        std::fputs("Invalid parameters\n", stderr);
        return -1;
    }
    Malloced<_ContainerPolicy> records;
    int count = 0;
    if (load(path, &records.ptr, &count) != 0)
        return -1;
    int at = findIndex(records.ptr, count, container_id);
    if (at < 0)
        return -1;
    std::memcpy(out, &records.ptr[at], kRecordSize);
    return 0;
}

int clear_all(const char *path) {
    if (check_directory_exists(path) != 0)
        return -1;
    StoreLock lock;
    if (lock.acquire(path) != 0)
        return -1;
    if (writeStoreFile(path, nullptr, 0) != 0)
        return -1;
    std::fprintf(stdout, "Successfully cleared all policies in %s\n", path);
    return 0;
}

int load_to_array(const char *path, ContainerPolicyArray *array) {
    if (array == nullptr)
        return -1;
    // The descriptor may be uninitialised: empty it without freeing.
    array->policies = nullptr;
    array->count = 0;
    array->reserved = 0;
    _ContainerPolicy *records = nullptr;
    int count = 0;
    if (load(path, &records, &count) != 0)
        return -1;
    array->policies = records;
    array->count = count;
    return 0;
}

void array_free(ContainerPolicyArray *array) {
    if (array == nullptr)
        return;
    std::free(array->policies);
    array->policies = nullptr;
    array->count = 0;
}

int sync_to_kernel(const char *path, const char *kernel_path) {
    Malloced<_ContainerPolicy> records;
    int count = 0;
    if (load(path, &records.ptr, &count) != 0) {
        std::fputs("Failed to load policies from XML\n", stderr);
        return -1;
    }
    if (count == 0) {
        std::fputs("No policies to sync\n", stdout);
        return 0;
    }
    Fd fd(::open(kernel_path, O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        std::perror("open sysfs");
        return -1;
    }
    size_t want = static_cast<size_t>(count) * kRecordSize;
    ssize_t wrote = ::write(fd.get(), records.ptr, want);
    if (wrote < 0) {
        std::perror("write to sysfs");
        return -1;
    }
    if (static_cast<size_t>(wrote) != want) {
        std::fprintf(stderr, "Short write to sysfs: %zd of %zu bytes accepted\n", wrote, want);
        return -1;
    }
    std::fprintf(stdout, "Successfully synced %d policies to kernel\n", count);
    return 0;
}

}  // namespace vault
