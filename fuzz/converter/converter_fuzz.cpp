// Feeds arbitrary bytes to the converter as one audit line, with debug on so
// that every tracing path runs too. The diagnostic log goes to /dev/null.
// Whatever the line holds, an event line that comes out has exactly the
// four separators of the format, in order, and no control byte or invalid
// UTF-8: no value can add a field, end the line or reach a terminal raw.
#include "audit_record.h"
#include "event_text.h"
#include "log_converter.h"
#include "logger.h"
#include "text_search.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kMaxInput = 1 << 16;

bool setUp() {
    vrex::Logger::getInstance().init("/dev/null", true);
    vrex::LogConverter::setDebugMode(true);
    return true;
}

// The rendered line is "<time>,container_id=<id>,Event=<kind>,path=<path>,status=<status>".
void checkEventLine(std::string_view out) {
    size_t commas = 0;
    for (unsigned char c : out) {
        if (c < 0x20 || c == 0x7f)
            __builtin_trap();
        commas += c == ',';
    }
    if (commas != 4)
        __builtin_trap();
    size_t at = 0;
    for (std::string_view separator : {",container_id=", ",Event=", ",path=", ",status="}) {
        at = out.find(separator, at);
        if (at == std::string_view::npos)
            __builtin_trap();
        at += separator.size();
    }
    // Valid UTF-8 throughout: escaping it changes nothing but its commas
    // and backslashes.
    std::string plain(out);
    for (char &c : plain)
        if (c == ',' || c == '\\')
            c = '_';
    if (vrex::escaped(plain) != plain)
        __builtin_trap();
}

// The quote index, built 16, 32 or 64 bytes at a time, agrees with the plain
// byte-by-byte one.
void checkQuoteIndex(std::string_view line) {
    const size_t blocks = line.size() / 64 + 1;
    std::vector<uint64_t> fast(2 * blocks), plain(2 * blocks);
    vrex::text::quoteIndex(line.data(), line.size(), fast.data(), fast.data() + blocks);
    vrex::text::quoteIndexPlain(line.data(), line.size(), plain.data(), plain.data() + blocks);
    if (fast != plain)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = setUp();
    (void)ready;
    if (size > kMaxInput)
        return 0;
    std::string_view line(reinterpret_cast<const char *>(data), size);
    auto &converter = vrex::LogConverter::getInstance();
    auto result = converter.parseLine(line);
    std::string out = converter.convertToOutputFormat(result);
    // What is written must be a complete event line of a valid result.
    if (!out.empty() && !result.valid)
        __builtin_trap();
    if (!out.empty())
        checkEventLine(out);
    checkQuoteIndex(line);
    converter.convertTimestamp(line);
    converter.determineStatusType(line);
    converter.extractField(line, "container_id");
    return 0;
}
