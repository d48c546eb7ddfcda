// Searching audit lines: a substring, a byte, and the end of a bare field
// value. On x86-64 the substring and field-end searches test 16 or 32 bytes
// at a time; the wrappers here choose the kernel and are inlined where they
// are used.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace vrex::text {

inline constexpr size_t npos = std::string_view::npos;

#if defined(__x86_64__)
// True when the CPU runs AVX2 code.
extern const bool kHaveAvx2;
// Position of needle (at least two bytes) in s[0, len), or npos.
size_t findWide(const char *s, size_t len, std::string_view needle);    // AVX2
size_t findNarrow(const char *s, size_t len, std::string_view needle);  // SSE2
// Index of the first blank, tab, comma or colon, looked for 32 bytes at a
// time: len rounded down to 32 when none is in those blocks.
size_t bareEndWide(const char *s, size_t len);
#endif

// End of a bare field value: the first blank, tab, comma or colon at or
// after start, or the end of the line.
inline size_t bareEnd(std::string_view line, size_t start) {
    size_t end = start;
#if defined(__x86_64__)
    if (kHaveAvx2)
        end += bareEndWide(line.data() + start, line.size() - start);
#endif
    while (end < line.size()) {
        char c = line[end];
        if (c == ' ' || c == '\t' || c == ',' || c == ':')
            break;
        ++end;
    }
    return end;
}

inline size_t findText(std::string_view hay, std::string_view needle, size_t from = 0) {
    if (from > hay.size())
        return npos;
    const char *s = hay.data() + from;
    const size_t len = hay.size() - from;
    if (needle.empty())
        return from;
    if (len < needle.size())
        return npos;
    size_t at;
#if defined(__x86_64__)
    if (needle.size() >= 2)
        at = kHaveAvx2 ? findWide(s, len, needle) : findNarrow(s, len, needle);
    else
#endif
        at = std::string_view(s, len).find(needle);
    return at == npos ? npos : from + at;
}

inline size_t findChar(std::string_view hay, char c, size_t from = 0) {
    if (from >= hay.size())
        return npos;
    const void *hit = std::memchr(hay.data() + from, c, hay.size() - from);
    return hit ? static_cast<size_t>(static_cast<const char *>(hit) - hay.data()) : npos;
}

}  // namespace vrex::text
