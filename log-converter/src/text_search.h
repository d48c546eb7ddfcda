// Searching audit lines: a substring, a byte, the end of a bare field value,
// and where the double quotes are. On x86-64 the substring, field-end and
// quote searches test 16 or 32 bytes at a time; the wrappers here choose the
// kernel and are inlined where they are used.
#pragma once

#include <cstddef>
#include <cstdint>
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
// quoteIndex for the whole blocks of 64 bytes, 32 (AVX2) or 16 (SSE2)
// bytes at a time; returns how many bytes it covered and leaves in *odd
// whether an odd number of quotes stands in them.
size_t quoteIndexWide(const char *s, size_t len, uint64_t *quotes, uint64_t *oddBefore, uint64_t *odd);
size_t quoteIndexNarrow(const char *s, size_t len, uint64_t *quotes, uint64_t *oddBefore, uint64_t *odd);
#endif

// Where the double quotes of s[0, len) are, block by block: for block w (the
// bytes from 64 * w), bit i of quotes[w] is set when byte 64 * w + i is '"',
// and oddBefore[w] is 1 when an odd number of quotes stands before the block,
// else 0. Both have room for len / 64 + 1 blocks; bits past len are clear.
void quoteIndexPlain(const char *s, size_t len, uint64_t *quotes, uint64_t *oddBefore);

inline void quoteIndex(const char *s, size_t len, uint64_t *quotes, uint64_t *oddBefore) {
#if defined(__x86_64__)
    uint64_t odd = 0;
    size_t done =
        kHaveAvx2 ? quoteIndexWide(s, len, quotes, oddBefore, &odd) : quoteIndexNarrow(s, len, quotes, oddBefore, &odd);
    const size_t block = done / 64;
    oddBefore[block] = odd;
    quotes[block] = 0;
    if (done < len && len >= 64) {
        // The last part of a block: the last 64 bytes of the line, shifted
        // so that their bits fall where that part's bytes belong.
        uint64_t last, lastOdd = 0, unused;
        if (kHaveAvx2)
            quoteIndexWide(s + len - 64, 64, &last, &unused, &lastOdd);
        else
            quoteIndexNarrow(s + len - 64, 64, &last, &unused, &lastOdd);
        quotes[block] = last >> (64 - (len - done));
    } else if (done < len) {
        quoteIndexPlain(s + done, len - done, quotes + block, oddBefore + block);
        oddBefore[block] = odd;
    }
#else
    quoteIndexPlain(s, len, quotes, oddBefore);
#endif
}

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
