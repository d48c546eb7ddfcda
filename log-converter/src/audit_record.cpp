#include "audit_record.h"

#include "text_search.h"

namespace vrex {

namespace {

using text::npos;

bool startsField(std::string_view line, std::size_t at) {
    return at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t';
}

// Whether x has an odd number of bits set (without the popcount
// instruction, which the baseline x86-64 lacks).
inline std::uint64_t oddBits(std::uint64_t x) {
    x ^= x >> 32;
    x ^= x >> 16;
    x ^= x >> 8;
    x ^= x >> 4;
    return (0x6996u >> (x & 15)) & 1;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

void AuditRecord::buildIndex() {
    indexed_ = true;
    // One block more than whole ones, so that the end of the line has one.
    const std::size_t blocks = line_.size() / 64 + 1;
    if (index_.size() < 2 * blocks)
        index_.resize(2 * blocks);
    text::quoteIndex(line_.data(), line_.size(), index_.data(), index_.data() + blocks);
}

bool AuditRecord::insideQuotes(std::size_t pos) {
    if (pos == 0 || pos > line_.size())
        return false;
    if (!indexed_)
        buildIndex();
    // An odd number of quotes before pos.
    const std::size_t blocks = line_.size() / 64 + 1, b = pos / 64;
    const std::uint64_t before = index_[b] & ((std::uint64_t{1} << (pos % 64)) - 1);
    return (index_[blocks + b] ^ oddBits(before)) != 0;
}

std::size_t AuditRecord::findField(std::string_view key, std::size_t from) {
    // The kernel's records start with their type: no search for it.
    if (from == 0 && !line_.empty() && line_[0] == key[0] && line_.substr(0, key.size()) == key)
        return 0;
    for (;;) {
        std::size_t at = text::findText(line_, key, from);
        if (at == npos)
            return npos;
        if (startsField(line_, at) && !insideQuotes(at))
            return at;
        from = at + 1;
    }
}

std::size_t AuditRecord::findOutside(std::string_view text, std::size_t from) {
    for (;;) {
        std::size_t at = text::findText(line_, text, from);
        if (at == npos || !insideQuotes(at))
            return at;
        from = at + 1;
    }
}

std::size_t AuditRecord::findCharOutside(char c, std::size_t from) {
    for (;;) {
        std::size_t at = text::findChar(line_, c, from);
        if (at == npos || !insideQuotes(at))
            return at;
        from = at + 1;
    }
}

std::string_view fieldValueAt(std::string_view line, std::size_t start, bool *quoted, std::size_t *end) {
    std::size_t after = line.size();
    std::string_view value;
    *quoted = start < line.size() && line[start] == '"';
    if (*quoted) {
        std::size_t close = text::findChar(line, '"', start + 1);
        if (close != npos) {
            value = line.substr(start + 1, close - start - 1);
            after = close + 1;
        }
    } else if (start < line.size()) {
        after = text::bareEnd(line, start);
        value = line.substr(start, after - start);
    }
    if (end)
        *end = after;
    return value;
}

bool isHexValue(std::string_view value) {
    if (value.size() < 2 || value.size() % 2 != 0)
        return false;
    for (char c : value)
        if (hexDigit(c) < 0)
            return false;
    return true;
}

void decodeHex(std::string_view value, std::string *out) {
    out->resize(value.size() / 2);
    for (std::size_t i = 0; i < out->size(); ++i)
        (*out)[i] = static_cast<char>(hexDigit(value[2 * i]) << 4 | hexDigit(value[2 * i + 1]));
}

}  // namespace vrex
