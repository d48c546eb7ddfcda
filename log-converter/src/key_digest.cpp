#include "key_digest.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace vrex {

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
    std::uint64_t squeeze(std::uint64_t marker) {
        v2 ^= marker;
        for (int i = 0; i < 4; ++i)
            round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

std::uint64_t littleEndian(const unsigned char *p, std::size_t n) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < n; ++i)
        value |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return value;
}

// Sixteen bytes from the system's random source. Without it (no getrandom,
// no /dev/urandom) the clock and the process id stand in: weaker, but the
// cache still works.
KeyDigester::Key randomKey() {
    KeyDigester::Key key{};
    std::size_t got = 0;
    while (got < key.size()) {
        ssize_t n = ::getrandom(key.data() + got, key.size() - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got == key.size())
        return key;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        bool ok = ::read(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size());
        ::close(fd);
        if (ok)
            return key;
    }
    std::uint64_t clock = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::uint64_t pid = static_cast<std::uint64_t>(::getpid());
    std::memcpy(key.data(), &clock, 8);
    std::memcpy(key.data() + 8, &pid, 8);
    return key;
}

}  // namespace

KeyDigester::KeyDigester() : KeyDigester(randomKey()) {}

KeyDigester::KeyDigester(const Key &key) : k0_(littleEndian(key.data(), 8)), k1_(littleEndian(key.data() + 8, 8)) {}

KeyDigester::Key KeyDigester::key() const {
    Key key{};
    for (std::size_t i = 0; i < 8; ++i) {
        key[i] = static_cast<std::uint8_t>(k0_ >> (8 * i));
        key[8 + i] = static_cast<std::uint8_t>(k1_ >> (8 * i));
    }
    return key;
}

KeyDigest KeyDigester::digest(std::string_view bytes) const {
    SipState s{k0_ ^ 0x736f6d6570736575ULL, k1_ ^ 0x646f72616e646f6dULL, k0_ ^ 0x6c7967656e657261ULL,
               k1_ ^ 0x7465646279746573ULL};
    s.v1 ^= 0xee;  // the 128-bit variant
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const std::size_t whole = bytes.size() / 8 * 8;
    for (std::size_t i = 0; i < whole; i += 8)
        s.absorb(littleEndian(p + i, 8));
    s.absorb(littleEndian(p + whole, bytes.size() - whole) | static_cast<std::uint64_t>(bytes.size()) << 56);
    KeyDigest d;
    d.low = s.squeeze(0xee);
    s.v1 ^= 0xdd;
    d.high = s.squeeze(0);
    return d;
}

DigestSet::DigestSet(std::size_t limit) : limit_(limit) {
    // At most half full, so that probes stay short.
    std::size_t slots = 16;
    while (slots < 2 * (limit + 1))
        slots *= 2;
    slots_.assign(slots, KeyDigest{});
    mask_ = slots - 1;
}

std::size_t DigestSet::slotOf(const KeyDigest &digest) const {
    // The digest is already uniform: its own bits choose the slot.
    KeyDigest stored = digest == KeyDigest{} ? KeyDigest{1, 0} : digest;
    for (std::size_t i = static_cast<std::size_t>(stored.low) & mask_;; i = (i + 1) & mask_)
        if (slots_[i] == stored || slots_[i] == KeyDigest{})
            return i;
}

bool DigestSet::contains(const KeyDigest &digest) const { return !(slots_[slotOf(digest)] == KeyDigest{}); }

void DigestSet::insert(const KeyDigest &digest) {
    if (size_ > limit_)
        clear();
    std::size_t i = slotOf(digest);
    if (slots_[i] == KeyDigest{}) {
        slots_[i] = digest == KeyDigest{} ? KeyDigest{1, 0} : digest;
        ++size_;
    }
}

std::vector<KeyDigest> DigestSet::digests() const {
    std::vector<KeyDigest> held;
    held.reserve(size_);
    for (const KeyDigest &slot : slots_)
        if (!(slot == KeyDigest{}))
            held.push_back(slot);
    return held;
}

void DigestSet::clear() {
    std::fill(slots_.begin(), slots_.end(), KeyDigest{});
    size_ = 0;
}

}  // namespace vrex
