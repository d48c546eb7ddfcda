// The store file's line format. Loading is a line scanner, not an XML parser:
// a line holding "policy" (and neither "<?xml" nor "container_policies")
// yields a record from the attributes it holds, wherever they stand.
#include "store_format.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container_record.h"

namespace vault {

namespace {

using vrex::record::kContainerIdLength;
using vrex::record::kRecordSize;

constexpr size_t kMaxAttrNameLength = 256;
constexpr size_t kValueBufferSize = 16;
constexpr size_t kInitialCapacity = 16;
// A line that yields a record holds "policy", "id" and 64 hexadecimal
// characters, none of which can overlap; with its newline that is 73 bytes.
constexpr size_t kMinPolicyLine = 73;
// Beyond this many records (4.5 MB) the array grows by doubling instead.
constexpr size_t kMaxInitialCapacity = 65536;
constexpr size_t kMinPartialCapacity = 256;

#define LIT(s) s, sizeof(s) - 1

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

// A character that continues an element name ("<policyList" is not "<policy").
bool isNameChar(char c) {
    auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == ':' || u >= 0x80;
}

// The first "<policy" element start in [from, end), or nullptr.
const char *findElement(const char *from, const char *end) {
    static constexpr size_t kOpenLen = sizeof "<policy" - 1;
    while (from < end) {
        auto *hit = static_cast<const char *>(::memmem(from, static_cast<size_t>(end - from), "<policy", kOpenLen));
        if (hit == nullptr)
            return nullptr;
        const char *after = hit + kOpenLen;
        if (after == end || !isNameChar(*after))
            return hit;
        from = after;
    }
    return nullptr;
}

size_t countElements(const char *line, size_t len) {
    size_t n = 0;
    for (const char *at = line, *end = line + len; (at = findElement(at, end)) != nullptr; ++at)
        ++n;
    return n;
}

// Whether the first element of the line's text is closed before the next
// one starts, or the text ends.
bool firstElementClosed(const char *text, size_t len) {
    const char *end = text + len;
    const char *first = findElement(text, end);
    if (first == nullptr)
        return false;  // the element counted lies after a NUL byte: never read
    const char *next = findElement(first + 1, end);
    const char *stop = next != nullptr ? next : end;
    size_t span = static_cast<size_t>(stop - first);
    return contains(first, span, LIT("/>")) || contains(first, span, LIT("</policy>"));
}

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
    if (static_cast<size_t>(end - p) < kContainerIdLength + 1)
        return false;
    if (!vrex::record::allHexDigits(std::string_view(p, kContainerIdLength)))
        return false;
    const char *id = p;
    p += kContainerIdLength;
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
    std::memcpy(rec.container_id, id, kContainerIdLength);
    rec.container_id[kContainerIdLength] = '\0';
    return true;
}

}  // namespace

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
    put(rec.container_id, kContainerIdLength);
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

bool parse_attr(const char *line, const char *name, char *out, size_t out_size) {
    if (line == nullptr || name == nullptr || out == nullptr || out_size == 0)
        return false;
    size_t nameLen = ::strnlen(name, kMaxAttrNameLength + 1);
    if (nameLen == 0 || nameLen > kMaxAttrNameLength)
        return false;
    return parseAttrIn(line, std::strlen(line), name, nameLen, out, out_size);
}

StoreParser::~StoreParser() {
    std::free(records_);
    std::free(partial_);
}

int StoreParser::reserveFor(size_t textSize) {
    size_t bound = textSize / kMinPolicyLine + 1;
    if (bound > kMaxInitialCapacity)
        bound = kMaxInitialCapacity;
    size_t capacity = bound > kInitialCapacity ? bound : kInitialCapacity;
    return capacity <= capacity_ ? 0 : growTo(capacity, "malloc");
}

int StoreParser::growTo(size_t capacity, const char *label) {
    void *block = std::realloc(records_, capacity * kRecordSize);
    if (block == nullptr) {
        std::perror(label);
        return -1;
    }
    records_ = static_cast<_ContainerPolicy *>(block);
    capacity_ = capacity;
    return 0;
}

int StoreParser::makeRoom() {
    if (count_ == INT_MAX) {
        std::fputs("Too many policies in XML\n", stderr);
        return -1;
    }
    return capacity_ == 0 ? reserveFor(0) : growTo(capacity_ * 2, "realloc");
}

_ContainerPolicy *StoreParser::take() {
    _ContainerPolicy *p = count_ > 0 ? records_ : nullptr;
    if (count_ == 0)
        std::free(records_);
    records_ = nullptr;
    capacity_ = 0;
    count_ = 0;
    return p;
}

// Called for every record: kept in the line parser, the rare growth out of it.
[[gnu::always_inline]] inline int StoreParser::append(const _ContainerPolicy &rec) {
    if ((count_ == INT_MAX || static_cast<size_t>(count_) == capacity_) && makeRoom() != 0)
        return -1;
    std::memcpy(&records_[count_], &rec, kRecordSize);
    ++count_;
    return 0;
}

// One line of the file (no newline, not empty). Returns -1 only when the
// record could not be appended.
int StoreParser::parseLine(const char *line, size_t len) {
    _ContainerPolicy rec;
    std::memset(&rec, 0, sizeof rec);
    if (parseCanonicalLine(line, len, rec))
        return append(rec);

    // Every element of the line, also past a NUL byte, is unread unless the
    // first one becomes the line's record below.
    const size_t elements = countElements(line, len);
    // The text of a line ends at a NUL byte, as for any C string.
    if (const void *nul = std::memchr(line, '\0', len))
        len = static_cast<size_t>(static_cast<const char *>(nul) - line);
    if (!contains(line, len, LIT("policy")) || contains(line, len, LIT("<?xml")) ||
        contains(line, len, LIT("container_policies"))) {
        unread_ += elements;
        return 0;
    }
    if (elements > 0 && !firstElementClosed(line, len)) {
        unread_ += elements;
        return 0;
    }
    // The line's record, if any, stands for its first element; the others
    // are never read.
    if (elements > 1)
        unread_ += elements - 1;
    const size_t firstElement = elements > 0 ? 1 : 0;

    char id[kContainerIdLength + 1];
    if (!parseAttrIn(line, len, LIT("id"), id, sizeof id)) {
        unread_ += firstElement;
        return 0;
    }
    if (!vrex::record::isValidContainerId(id)) {
        if (!quiet_)
            std::fprintf(stderr, "Invalid container ID in XML: %s\n", id);
        unread_ += firstElement;
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
    return append(rec);
}

// Adds bytes to the unfinished line, growing its buffer as a long line needs.
int StoreParser::keepPartial(const char *data, size_t size) {
    if (partialLen_ + size > partialCapacity_) {
        size_t capacity = partialCapacity_ < kMinPartialCapacity ? kMinPartialCapacity : partialCapacity_;
        while (capacity < partialLen_ + size)
            capacity *= 2;
        void *grown = std::realloc(partial_, capacity);
        if (grown == nullptr) {
            std::perror("realloc");
            return -1;
        }
        partial_ = static_cast<char *>(grown);
        partialCapacity_ = capacity;
    }
    std::memcpy(partial_ + partialLen_, data, size);
    partialLen_ += size;
    return 0;
}

int StoreParser::feed(const char *data, size_t size) {
    const char *p = data;
    const char *end = data + size;
    if (partialLen_ > 0) {
        // The first newline completes the line carried from the last piece.
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', size));
        if (nl == nullptr)
            return keepPartial(p, size);
        if (keepPartial(p, static_cast<size_t>(nl - p)) != 0 || parseLine(partial_, partialLen_) != 0)
            return -1;
        partialLen_ = 0;
        p = nl + 1;
    }
    while (p < end) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl == nullptr)
            return keepPartial(p, static_cast<size_t>(end - p));
        if (nl != p && parseLine(p, static_cast<size_t>(nl - p)) != 0)
            return -1;
        p = nl + 1;
    }
    return 0;
}

int StoreParser::finish() {
    if (partialLen_ == 0)
        return 0;
    size_t len = partialLen_;
    partialLen_ = 0;
    return parseLine(partial_, len);
}

}  // namespace vault
