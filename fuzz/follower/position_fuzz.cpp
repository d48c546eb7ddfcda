// Saved position text, in two ways chosen by the first byte.
//
// Raw text: never crashes; whatever is accepted survives a write and a
// re-read unchanged, and text in the current form is accepted only exactly
// as it would be written (a damaged or foreign file is never trusted).
//
// Built position: the rest of the bytes describe a position (fingerprint,
// and maybe a replay state with a duplicate cache); its text reads back
// equal, and that text with one byte changed, or cut short, is refused.
#include "position.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    std::uint64_t take(int n) {
        std::uint64_t value = 0;
        for (int i = 0; i < n; ++i)
            value = value << 8 | (at_ < size_ ? data_[at_++] : 0);
        return value;
    }
    bool empty() const { return at_ >= size_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

vrex::SavedPosition build(Bytes &in) {
    vrex::SavedPosition saved;
    const int widths = static_cast<int>(in.take(1));
    auto number = [&](int shift) { return in.take(1 + (widths >> shift & 7)); };
    saved.position = {number(0), number(3), number(5) % (1ull << 40)};
    vrex::ContentFingerprint f;
    const std::uint64_t covered = std::min(saved.position.offset, vrex::kFingerprintBytes);
    f.tailLength = static_cast<std::uint32_t>(covered);
    f.headLength = covered == 0 ? 0 : static_cast<std::uint32_t>(1 + in.take(2) % covered);
    f.head = {in.take(8), in.take(8)};
    f.tail = {in.take(8), in.take(8)};
    saved.fingerprint = f;
    if (in.take(1) & 1) {
        vrex::ReplayState replay;
        replay.output = {in.take(8), in.take(8), in.take(8)};
        for (auto &byte : replay.cache.key)
            byte = static_cast<std::uint8_t>(in.take(1));
        // Distinct, non-zero digests, as a cache holds them.
        const std::size_t count = in.take(2) % (vrex::kDuplicateCacheLimit + 1);
        for (std::size_t i = 0; i < count && !in.empty(); ++i)
            replay.cache.digests.push_back({in.take(4) << 20 | i, i + 1});
        saved.replay = std::move(replay);
    }
    return saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 80000)
        return 0;
    if (data[0] % 2 == 0) {
        std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
        auto position = vrex::parsePosition(text);
        if (position) {
            const std::string written = vrex::formatPosition(*position);
            auto again = vrex::parsePosition(written);
            if (!again || !(*again == *position))
                std::abort();
            if (position->fingerprint && written != text)
                std::abort();
        }
        return 0;
    }
    Bytes in(data + 1, size - 1);
    const vrex::SavedPosition saved = build(in);
    const std::string text = vrex::formatPosition(saved);
    auto back = vrex::parsePosition(text);
    if (!back || !(*back == saved))
        std::abort();
    const std::size_t at = static_cast<std::size_t>(in.take(3) % text.size());
    const auto flip = static_cast<char>(1 + in.take(1) % 255);
    std::string damaged = text;
    damaged[at] = static_cast<char>(damaged[at] ^ flip);
    if (vrex::parsePosition(damaged) || vrex::parsePosition(std::string_view(text).substr(0, at)))
        std::abort();
    return 0;
}
