#include "event_text.h"

#include <cstdint>

namespace vrex {

namespace {

bool mustEscapeAscii(unsigned char c) { return c < 0x20 || c == 0x7f || c == ',' || c == '\\'; }

bool isContinuation(unsigned char c) { return (c & 0xc0) == 0x80; }

// Length of the valid UTF-8 sequence of two or more bytes that starts at
// text[at], or 0 when there is none (overlong forms, surrogates and code
// points past U+10FFFF are not valid).
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const std::size_t left = text.size() - at;
    const unsigned char lead = byte(0);
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf;  // range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (left < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!isContinuation(byte(i)))
            return 0;
    return length;
}

void appendHex(std::string *out, unsigned char c) {
    constexpr char digits[] = "0123456789abcdef";
    const char text[4] = {'\\', 'x', digits[c >> 4], digits[c & 15]};
    out->append(text, 4);
}

}  // namespace

void appendEscaped(std::string *out, std::string_view text) {
    std::size_t plainFrom = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80 && !mustEscapeAscii(c)) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            if (std::size_t length = sequenceLength(text, i)) {
                i += length;
                continue;
            }
        }
        out->append(text.substr(plainFrom, i - plainFrom));
        appendHex(out, c);
        plainFrom = ++i;
    }
    out->append(text.substr(plainFrom));
}

std::string escaped(std::string_view text) {
    std::string out;
    appendEscaped(&out, text);
    return out;
}

}  // namespace vrex
