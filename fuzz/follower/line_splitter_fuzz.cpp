// Cutting a byte stream into lines, as the follower and batch mode both do:
// whatever the chunking, the lines handed on and the lines dropped are
// exactly those of a plain split of the whole input, and the end of the input
// hands on its unterminated tail when it is short enough. The first two bytes
// choose the line limit and the chunk size.
#include "line_splitter.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 65536)
        return 0;
    const std::size_t maxLine = 1 + data[0] % 64;
    const std::size_t chunk = 1 + data[1] % 97;
    std::string_view input(reinterpret_cast<const char *>(data) + 2, size - 2);

    std::vector<std::string> got;
    int dropped = 0;
    vrex::LineSplitter splitter(maxLine);
    for (std::size_t at = 0; at < input.size(); at += chunk)
        splitter.feed(
            input.substr(at, chunk), [&](std::string_view line) { got.emplace_back(line); }, [&] { ++dropped; });

    std::vector<std::string> want;
    int wantDropped = 0;
    std::size_t start = 0;
    for (std::size_t nl = input.find('\n'); nl != std::string_view::npos; nl = input.find('\n', start)) {
        if (nl - start > maxLine)
            ++wantDropped;
        else
            want.emplace_back(input.substr(start, nl - start));
        start = nl + 1;
    }
    const std::size_t tail = input.size() - start;
    if (tail > maxLine)
        ++wantDropped;  // reported when it passed the limit, before its newline
    if (got != want || dropped != wantDropped || splitter.pending() != tail)
        std::abort();

    // The end of a batch input: the tail is the last line, unless dropped.
    if (tail > 0 && tail <= maxLine)
        want.emplace_back(input.substr(start));
    splitter.finish([&](std::string_view line) { got.emplace_back(line); });
    if (got != want || splitter.pending() != 0)
        std::abort();
    return 0;
}
