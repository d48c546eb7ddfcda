// Small owners over GLib's GVariant API for dictionaries of type "a{sv}"
// (string keys, boxed values): a builder, a read-only view and an array
// walk. Keys and strings are NUL-terminated UTF-8.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace glib_helper {

// One owned GVariant reference.
struct VariantUnref {
    void operator()(GVariant *value) const noexcept { g_variant_unref(value); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// Owns `value`: a floating reference is sunk, a non-floating one is taken
// over as it is (the caller gives its reference away).
inline VariantPtr adoptVariant(GVariant *value) {
    return VariantPtr(value != nullptr ? g_variant_take_ref(value) : nullptr);
}

// Builds one "a{sv}" dictionary. Every adder returns the builder so that
// calls chain. A null or non-UTF-8 key adds nothing; a string value that is
// not valid UTF-8 is stored with each bad byte sequence replaced by U+FFFD
// (a dictionary cannot hold it otherwise). Adders on an empty builder
// (moved from, or already built) add nothing.
class DictBuilder {
public:
    DictBuilder();
    ~DictBuilder();
    DictBuilder(DictBuilder &&other) noexcept;
    DictBuilder &operator=(DictBuilder &&other) noexcept;
    DictBuilder(const DictBuilder &) = delete;
    DictBuilder &operator=(const DictBuilder &) = delete;

    DictBuilder &addInt32(const char *key, int32_t value);    // "i"
    DictBuilder &addInt64(const char *key, int64_t value);    // "x"
    DictBuilder &addUint32(const char *key, uint32_t value);  // "u"
    DictBuilder &addUint64(const char *key, uint64_t value);  // "t"
    DictBuilder &addBool(const char *key, bool value);        // "b"
    // "s"; a null string adds nothing.
    DictBuilder &addString(const char *key, const char *value);
    // "v": the value boxed once more. A null value adds nothing. A floating
    // value is always consumed, even when nothing is added; a non-floating
    // one gains a reference and stays the caller's.
    DictBuilder &addVariant(const char *key, GVariant *value);
    // "as": `count` strings, or up to the first null when `count` is -1. A
    // null `strings` adds an empty array; a null element within `count` is
    // stored as ""; a count below -1 adds nothing.
    DictBuilder &addStringArray(const char *key, const char *const *strings, int count);

    // Ends the dictionary and returns it as a new floating value; the builder
    // is released and left empty. An empty builder returns null.
    GVariant *build();
    bool empty() const { return builder_ == nullptr; }

private:
    // Adds key and boxed value; consumes a floating `value`.
    void add(const char *key, GVariant *value);
    GVariantBuilder *builder_ = nullptr;
};

// A read-only view over one "a{sv}" dictionary. Each getter looks its key up
// with the expected type and is empty when the key is missing, holds another
// type, or the view is empty (moved from). Values are not checked for normal
// form: callers reading untrusted input use lookup() and check it.
class DictView {
public:
    // Takes ownership of `dict` (null makes an empty view).
    explicit DictView(GVariantDict *dict) noexcept : dict_(dict) {}
    ~DictView();
    DictView(DictView &&other) noexcept;
    DictView &operator=(DictView &&other) noexcept;
    DictView(const DictView &) = delete;
    DictView &operator=(const DictView &) = delete;

    // A view over `value`, or nothing when it is null or not of type "a{sv}".
    // The value is borrowed: its references (floating or not) are unchanged.
    static std::optional<DictView> init(GVariant *value);

    std::optional<int32_t> getInt32(const char *key) const;       // "i"
    std::optional<int64_t> getInt64(const char *key) const;       // "x"
    std::optional<uint32_t> getUint32(const char *key) const;     // "u"
    std::optional<uint64_t> getUint64(const char *key) const;     // "t"
    std::optional<bool> getBool(const char *key) const;           // "b"
    std::optional<std::string> getString(const char *key) const;  // "s", a copy
    // "v": the unboxed value as a new reference owned by the caller, or null.
    GVariant *getVariant(const char *key) const;
    // "as": a new array (free it with g_free) of `*count` strings plus a
    // terminating null, or null (`*count` 0). The strings themselves belong
    // to the view and stay valid while it lives. `count` may be null.
    const gchar **getStringArray(const char *key, gsize *count) const;

    // The boxed value of `key` as an owned reference, when `type` (any type
    // when null) matches it; null otherwise.
    VariantPtr lookup(const char *key, const GVariantType *type) const;

    bool empty() const { return dict_ == nullptr; }

private:
    GVariantDict *dict_ = nullptr;
};

class VariantArray {
public:
    // Receives the element's index and the element, borrowed for the call;
    // returns true to go on.
    using Callback = std::function<bool(std::size_t index, GVariant *element)>;

    // Walks the elements of `array` in order until the callback returns false
    // or the end. Returns the number of elements visited (the one that stopped
    // the walk included); -1 for a null array or an empty callback; -2 when
    // the value is not an array.
    static int64_t loopWhile(GVariant *array, const Callback &callback);
};

}  // namespace glib_helper
