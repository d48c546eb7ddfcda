// Reading the fields of one audit record the way the kernel writes them:
// "key=value" fields separated by blanks, each value either quoted ("...",
// holding no quote) or bare. A key counts only where it starts a field: at
// the start of the line or after a blank, and never inside a quoted value.
// What a process inside a container chooses (a file name, a command name)
// stands inside a quoted value or is hex-encoded by the kernel, so it cannot
// pass for a field of the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vrex {

// Where a line's quotes are: for each block of 64 bytes one bit per quote,
// then for each block whether an odd number of quotes stands before it. Kept
// by the caller from line to line so that no line allocates.
using QuoteIndex = std::vector<std::uint64_t>;

// The longest path or container id a record may carry: the kernel writes no
// path longer than this, so a longer value is forged.
inline constexpr std::size_t kMaxValueBytes = 4096;

class AuditRecord {
public:
    AuditRecord(std::string_view line, QuoteIndex &index) : line_(line), index_(index) {}

    std::string_view line() const { return line_; }

    // True when the byte at pos lies inside a quoted value: an odd number of
    // double quotes stands before it.
    bool insideQuotes(std::size_t pos);

    // Position of the first field at or after from whose key is key (given
    // with its "="); npos when there is none.
    std::size_t findField(std::string_view key, std::size_t from = 0);
    // The first text, or byte, outside quoted values at or after from.
    std::size_t findOutside(std::string_view text, std::size_t from = 0);
    std::size_t findCharOutside(char c, std::size_t from = 0);

private:
    void buildIndex();

    std::string_view line_;
    QuoteIndex &index_;
    bool indexed_ = false;
};

// The value that starts at start: a quoted value up to its closing quote
// (empty when there is none), or a bare value up to the first blank, tab,
// comma or colon. *quoted says which it was; *end (when given) is where the
// value ends, its closing quote included (the end of the line when the quote
// is never closed).
std::string_view fieldValueAt(std::string_view line, std::size_t start, bool *quoted, std::size_t *end = nullptr);

// The kernel writes a string holding blanks, quotes, control or non-ASCII
// bytes as bare hexadecimal: true when value is that (an even number of
// hexadecimal digits, at least two).
bool isHexValue(std::string_view value);
// The bytes a hexadecimal value (isHexValue) stands for, into *out.
void decodeHex(std::string_view value, std::string *out);

}  // namespace vrex
