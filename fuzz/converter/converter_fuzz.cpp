// Feeds arbitrary bytes to the converter as one audit line, with debug on so
// that every tracing path runs too. The diagnostic log goes to /dev/null.
#include "log_converter.h"
#include "logger.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

constexpr size_t kMaxInput = 1 << 16;

bool setUp() {
    vrex::Logger::getInstance().init("/dev/null", true);
    vrex::LogConverter::setDebugMode(true);
    return true;
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
    if (!out.empty() && (!result.valid || out.find(",container_id=") == std::string::npos))
        __builtin_trap();
    converter.convertTimestamp(line);
    converter.determineStatusType(line);
    converter.extractField(line, "container_id");
    return 0;
}
