// Feeds arbitrary bytes to the store's file parser and to the attribute
// reader, and checks what every loaded record must satisfy.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store_core.h"

namespace {

constexpr size_t kMaxInput = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const char *text = reinterpret_cast<const char *>(data);

    _ContainerPolicy *records = nullptr;
    int count = -1;
    if (vault::parse_policies(text, size, &records, &count, /*quiet=*/true) != 0)
        return 0;
    if (count < 0 || (count == 0) != (records == nullptr))
        std::abort();
    for (int i = 0; i < count; ++i)
        if (!vault::is_valid_container_id(records[i].container_id))
            std::abort();
    std::free(records);

    // The attribute reader on the first line, into a small buffer.
    std::string line(text, strnlen(text, size));
    line = line.substr(0, line.find('\n'));
    char out[16];
    std::memset(out, 0x7f, sizeof out);
    if (vault::parse_attr(line.c_str(), "id", out, sizeof out) && std::strlen(out) >= sizeof out)
        std::abort();
    return 0;
}
