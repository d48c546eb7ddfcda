// Decoding of plug-in requests. Requests come from another process: every
// key is looked up with its type, values must be in normal form, a key we
// read must appear once, and strings the core library cannot take are
// refused, never shortened.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "glib_helper.h"
#include "zorva_scene_container.h"

namespace zorva::plugin {

inline constexpr std::size_t kMaxIdBytes = 64;
inline constexpr std::size_t kMaxPathBytes = 4095;
inline constexpr const char *kDefaultAddonName = "zorva_container";

// The caller's add-on information, as the core library takes it.
struct Addon {
    std::string name;
    int32_t kind = 0;

    // Valid while this object lives.
    zorva_scene_addon_info info() const { return zorva_scene_addon_info{name.c_str(), kind}; }
};

class Request {
public:
    // Nothing when `request` is null or not of type "a{sv}". The request is
    // borrowed and its references are left as they were.
    static std::optional<Request> open(GVariant *request);

    // The "s" value of `key`, at most `maxBytes` long.
    std::optional<std::string> string(const char *key, std::size_t maxBytes) const;
    // The "i" or "u" value of `key`, when it lies within [min, max].
    std::optional<int64_t> integer(const char *key, int64_t min, int64_t max) const;
    // The add-on from the optional "scene" ("s"), "sync" and "scene_switch"
    // ("b") keys; nothing when one of them is present but unusable.
    std::optional<Addon> addon() const;

private:
    explicit Request(glib_helper::DictView view) : view_(std::move(view)) {}
    // The value of `key` when present exactly once, of `type` (any when
    // null) and in normal form.
    glib_helper::VariantPtr value(const char *key, const GVariantType *type) const;
    // Whether `key` appeared in the request once at most.
    bool unique(const char *key) const;

    glib_helper::DictView view_;
    unsigned duplicated_ = 0;  // bit i: kRequestKeys[i] appeared more than once
};

}  // namespace zorva::plugin
