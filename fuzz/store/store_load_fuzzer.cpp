// Feeds arbitrary bytes to the store's file parser, the one load() runs,
// both in one piece and in pieces cut where the input's first byte says, and
// to the attribute reader. Checks what every loaded record must satisfy, that
// the pieces make no difference (to the records and to the count of elements
// left unread), and that no "<policy" element is lost without being counted.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store_core.h"
#include "sysutil/unique_fd.h"

namespace {

constexpr size_t kMaxInput = 1 << 20;

struct Parsed {
    int rc = -1;
    int count = 0;
    size_t unread = 0;
    std::string bytes;  // the records, back to back
};

// Every "<policy" in the text, a bound on the elements it can hold.
size_t policyOpenings(const char *text, size_t size) {
    size_t n = 0;
    for (const char *p = text, *end = text + size;
         (p = static_cast<const char *>(memmem(p, static_cast<size_t>(end - p), "<policy", 7))) != nullptr; ++p)
        ++n;
    return n;
}

// Parses text in pieces of `piece` bytes (all at once when 0).
Parsed parse(const char *text, size_t size, size_t piece) {
    vault::StoreParser parser(/*quiet=*/true);
    Parsed out;
    out.rc = parser.reserveFor(size);
    size_t step = piece == 0 ? size : piece;
    for (size_t at = 0; out.rc == 0 && at < size; at += step)
        out.rc = parser.feed(text + at, step < size - at ? step : size - at);
    if (out.rc == 0)
        out.rc = parser.finish();
    out.count = parser.count();
    out.unread = parser.unread();
    vrex::sys::MallocPtr<_ContainerPolicy> records(parser.take());
    if ((out.count == 0) != (records == nullptr))
        std::abort();
    for (int i = 0; i < out.count; ++i)
        if (!vault::is_valid_container_id(records.get()[i].container_id))
            std::abort();
    if (records)
        out.bytes.assign(reinterpret_cast<const char *>(records.get()), out.count * sizeof(_ContainerPolicy));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const char *text = reinterpret_cast<const char *>(data);

    Parsed whole = parse(text, size, 0);
    if (whole.rc != 0)
        return 0;  // out of memory
    size_t piece = size > 0 ? 1 + data[0] % 97 : 1;
    Parsed pieces = parse(text, size, piece);
    if (pieces.rc == 0 && (pieces.count != whole.count || pieces.bytes != whole.bytes || pieces.unread != whole.unread))
        std::abort();
    // Elements are counted once each: never more unread than there are.
    if (whole.unread > policyOpenings(text, size))
        std::abort();

    // The attribute reader on the first line, into a small buffer.
    std::string line(text, strnlen(text, size));
    line = line.substr(0, line.find('\n'));
    char out[16];
    std::memset(out, 0x7f, sizeof out);
    if (vault::parse_attr(line.c_str(), "id", out, sizeof out) && std::strlen(out) >= sizeof out)
        std::abort();
    return 0;
}
