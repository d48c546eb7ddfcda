#include "text_search.h"

namespace vrex::text {

void quoteIndexPlain(const char *s, size_t len, uint64_t *quotes, uint64_t *oddBefore) {
    uint64_t odd = 0;
    for (size_t block = 0; block <= len / 64; ++block) {
        uint64_t bits = 0;
        for (size_t i = block * 64; i < len && i < block * 64 + 64; ++i)
            if (s[i] == '"')
                bits |= uint64_t{1} << (i % 64);
        quotes[block] = bits;
        oddBefore[block] = odd;
        odd ^= static_cast<uint64_t>(__builtin_parityll(bits));
    }
}

}  // namespace vrex::text

#if defined(__x86_64__)
#include <immintrin.h>

namespace vrex::text {

// Substring search. On x86-64, 16 or 32 positions at a time are tested for
// the needle's first and last byte, and only those that match both are
// compared in full: on audit lines this is several times faster than memmem.
__attribute__((target("avx2"))) size_t findWide(const char *s, size_t len, std::string_view needle) {
    const size_t n = needle.size();
    const __m256i first = _mm256_set1_epi8(needle[0]);
    const __m256i last = _mm256_set1_epi8(needle[n - 1]);
    size_t i = 0;
    for (; i + n - 1 + 32 <= len; i += 32) {
        __m256i blockFirst = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        __m256i blockLast = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i + n - 1));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(blockFirst, first), _mm256_cmpeq_epi8(blockLast, last))));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(s + i + bit + 1, needle.data() + 1, n - 2) == 0)
                return i + bit;
            mask &= mask - 1;
        }
    }
    for (; i + n <= len; ++i)
        if (s[i] == needle[0] && std::memcmp(s + i, needle.data(), n) == 0)
            return i;
    return npos;
}

size_t findNarrow(const char *s, size_t len, std::string_view needle) {
    const size_t n = needle.size();
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[n - 1]);
    size_t i = 0;
    for (; i + n - 1 + 16 <= len; i += 16) {
        __m128i blockFirst = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        __m128i blockLast = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i + n - 1));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(blockFirst, first), _mm_cmpeq_epi8(blockLast, last))));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(s + i + bit + 1, needle.data() + 1, n - 2) == 0)
                return i + bit;
            mask &= mask - 1;
        }
    }
    for (; i + n <= len; ++i)
        if (s[i] == needle[0] && std::memcmp(s + i, needle.data(), n) == 0)
            return i;
    return npos;
}

// Set while static objects are constructed, which may be before the CPU
// model has been read on its own: read it first.
const bool kHaveAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

// Index of the first blank, tab, comma or colon, 32 bytes at a time.
__attribute__((target("avx2"))) size_t bareEndWide(const char *s, size_t len) {
    const __m256i blank = _mm256_set1_epi8(' '), tab = _mm256_set1_epi8('\t');
    const __m256i comma = _mm256_set1_epi8(','), colon = _mm256_set1_epi8(':');
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        __m256i hit = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(b, blank), _mm256_cmpeq_epi8(b, tab)),
                                      _mm256_or_si256(_mm256_cmpeq_epi8(b, comma), _mm256_cmpeq_epi8(b, colon)));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (mask != 0)
            return i + static_cast<unsigned>(__builtin_ctz(mask));
    }
    return i;
}

__attribute__((target("avx2,popcnt"))) size_t quoteIndexWide(const char *s, size_t len, uint64_t *quotes,
                                                             uint64_t *oddBefore, uint64_t *odd) {
    const __m256i quote = _mm256_set1_epi8('"');
    uint64_t parity = 0;
    size_t i = 0;
    for (; i + 64 <= len; i += 64) {
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i + 32));
        uint64_t lowBits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, quote)));
        uint64_t highBits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, quote)));
        const uint64_t bits = lowBits | highBits << 32;
        quotes[i / 64] = bits;
        oddBefore[i / 64] = parity;
        parity ^= static_cast<uint64_t>(_mm_popcnt_u64(bits)) & 1;
    }
    *odd = parity;
    return i;
}

size_t quoteIndexNarrow(const char *s, size_t len, uint64_t *quotes, uint64_t *oddBefore, uint64_t *odd) {
    const __m128i quote = _mm_set1_epi8('"');
    uint64_t parity = 0;
    size_t i = 0;
    for (; i + 64 <= len; i += 64) {
        uint64_t bits = 0;
        for (int part = 0; part < 4; ++part) {
            __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i + 16 * part));
            uint64_t mask = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, quote)));
            bits |= mask << (16 * part);
        }
        quotes[i / 64] = bits;
        oddBefore[i / 64] = parity;
        parity ^= static_cast<uint64_t>(__builtin_parityll(bits));
    }
    *odd = parity;
    return i;
}

}  // namespace vrex::text

#endif
