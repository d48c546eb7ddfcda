// Putting untrusted bytes into one line of a log: a value must not add a
// field (","), end the line, or reach an administrator's terminal as a
// control sequence.
#pragma once

#include <string>
#include <string_view>

namespace vrex {

// Appends text to *out with ",", "\", the bytes 0x00 to 0x1f and 0x7f, and
// every byte that is not part of valid UTF-8 written as "\xHH" (two lower-case
// hexadecimal digits). Text holding none of them is appended unchanged.
void appendEscaped(std::string *out, std::string_view text);

std::string escaped(std::string_view text);

}  // namespace vrex
