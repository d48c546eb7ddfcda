#include "common/text.h"

namespace zorva::scene {

size_t decodeUtf8(const unsigned char *p, const unsigned char *end, uint32_t &cp) {
    unsigned char c = *p;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t extra;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07;
    } else {
        return 0;  // continuation byte, C0/C1 or F5..FF as a lead byte
    }
    if (static_cast<size_t>(end - p) <= extra)
        return 0;
    for (size_t i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return extra + 1;
}

bool isValidUtf8(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        uint32_t cp;
        size_t n = decodeUtf8(p, end, cp);
        if (n == 0)
            return false;
        p += n;
    }
    return true;
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendHexByte(std::string &out, unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

void appendUnicodeEscape(std::string &out, uint32_t cp) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(cp >> shift) & 0xF];
}

}  // namespace

void appendEscaped(std::string &out, std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        // Runs of plain printable ASCII are copied at once: paths are mostly that.
        const auto *run = p;
        while (run < end && *run >= 0x20 && *run < 0x7F && *run != '"' && *run != '\\')
            ++run;
        if (run != p) {
            out.append(reinterpret_cast<const char *>(p), static_cast<size_t>(run - p));
            p = run;
            continue;
        }
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++p;
        } else if (c == '\n') {
            out += "\\n";
            ++p;
        } else if (c == '\t') {
            out += "\\t";
            ++p;
        } else if (c == '\r') {
            out += "\\r";
            ++p;
        } else if (c < 0x80) {
            appendHexByte(out, c);  // the other C0 controls and DEL
            ++p;
        } else {
            uint32_t cp;
            size_t n = decodeUtf8(p, end, cp);
            if (n == 0) {
                appendHexByte(out, c);
                ++p;
            } else if (isControlCodePoint(cp) || cp == 0x2028 || cp == 0x2029) {
                appendUnicodeEscape(out, cp);
                p += n;
            } else {
                out.append(reinterpret_cast<const char *>(p), n);
                p += n;
            }
        }
    }
}

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

}  // namespace zorva::scene
