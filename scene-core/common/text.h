// Checks on text handed in by callers, and the quoting of text for lines
// that must stay one line whatever they hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zorva::scene {

// The length (1 to 4) of the strict UTF-8 sequence that starts at `p`, with
// its code point in `cp`; 0 when no valid sequence starts there. Strict: no
// overlong forms, no surrogates, nothing above U+10FFFF. `p` < `end`.
size_t decodeUtf8(const unsigned char *p, const unsigned char *end, uint32_t &cp);

// Strict UTF-8 (see decodeUtf8).
bool isValidUtf8(std::string_view text);

// True for the C0 and C1 control characters and DEL.
inline bool isControlCodePoint(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// Appends `text` with every byte that could end a quoted value or a line
// escaped: '"' and '\' as \" and \\; newline, tab and carriage return as \n,
// \t and \r; other control bytes and bytes that are not part of valid UTF-8
// as \xHH; the control characters U+0080 to U+009F and the line and
// paragraph separators U+2028 and U+2029 as \uHHHH. Everything else (valid
// UTF-8 included) is copied as it is.
void appendEscaped(std::string &out, std::string_view text);

// `text` escaped as by appendEscaped.
std::string escaped(std::string_view text);

}  // namespace zorva::scene
