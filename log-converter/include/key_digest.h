// The duplicate cache keeps a 128-bit digest of each key, not the key: its
// memory is fixed whatever the keys hold. The digest is SipHash-2-4 with a
// 128-bit result under a key drawn at random when the process starts, so a
// process inside a container, which chooses the paths in its own records,
// cannot aim a collision at another container's key to have its event
// dropped as a repeat.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vrex {

// The duplicate cache holds up to this many distinct keys and is emptied
// whole on the next one.
inline constexpr std::size_t kDuplicateCacheLimit = 1000;

struct KeyDigest {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    bool operator==(const KeyDigest &) const = default;
};

class KeyDigester {
public:
    using Key = std::array<std::uint8_t, 16>;

    // A key from the system's random source.
    KeyDigester();
    explicit KeyDigester(const Key &key);

    KeyDigest digest(std::string_view bytes) const;
    // The key, so that digests taken under it can be recognised again by a
    // later process (the saved duplicate cache).
    Key key() const;

private:
    std::uint64_t k0_ = 0;
    std::uint64_t k1_ = 0;
};

// A set of digests in a table allocated once, with room for limit + 1 of
// them (its owner empties it when it passes limit); an insert beyond that
// empties it first.
class DigestSet {
public:
    explicit DigestSet(std::size_t limit);

    bool contains(const KeyDigest &digest) const;
    // Adds the digest (not already present).
    void insert(const KeyDigest &digest);
    void clear();
    std::size_t size() const { return size_; }
    // Bytes the table takes, whatever it holds.
    std::size_t tableBytes() const { return slots_.size() * sizeof(KeyDigest); }
    // The digests held, in table order (a zero digest reads as {1, 0}, as
    // it is stored; inserting it again finds the same slot).
    std::vector<KeyDigest> digests() const;

private:
    std::size_t slotOf(const KeyDigest &digest) const;

    // An all-zero slot is free; a digest that is all zero is stored as 1.
    std::vector<KeyDigest> slots_;
    std::size_t limit_ = 0;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

// What a later process needs to decide repeats exactly as this one would:
// the digests held and the key they were taken under.
struct DuplicateCacheState {
    KeyDigester::Key key{};
    std::vector<KeyDigest> digests;
    bool operator==(const DuplicateCacheState &) const = default;
};

}  // namespace vrex
