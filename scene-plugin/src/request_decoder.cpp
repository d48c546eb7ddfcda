#include "request_decoder.h"

#include <cstring>
#include <iterator>
#include <utility>

namespace zorva::plugin {

namespace {

// Every key an entry point reads. A request could carry one of them twice;
// a dictionary view would silently keep the last, and whoever checked the
// request before us may have read the first. Such a request is refused.
constexpr const char *kRequestKeys[] = {"param1", "param2", "param3", "scene", "sync", "scene_switch"};

int keyIndex(const char *key) {
    for (std::size_t i = 0; i < std::size(kRequestKeys); ++i) {
        if (std::strcmp(key, kRequestKeys[i]) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

unsigned duplicatedKeys(GVariant *request) {
    unsigned seen = 0, duplicated = 0;
    GVariantIter iter;
    g_variant_iter_init(&iter, request);
    while (GVariant *child = g_variant_iter_next_value(&iter)) {
        glib_helper::VariantPtr entry(child);
        glib_helper::VariantPtr key(g_variant_get_child_value(entry.get(), 0));
        int index = keyIndex(g_variant_get_string(key.get(), nullptr));
        if (index < 0)
            continue;
        unsigned bit = 1u << index;
        duplicated |= seen & bit;
        seen |= bit;
    }
    return duplicated;
}

}  // namespace

std::optional<Request> Request::open(GVariant *request) {
    auto view = glib_helper::DictView::init(request);
    if (!view)
        return std::nullopt;
    Request decoded(std::move(*view));
    decoded.duplicated_ = duplicatedKeys(request);
    return decoded;
}

bool Request::unique(const char *key) const {
    int index = keyIndex(key);
    return index < 0 || (duplicated_ & (1u << index)) == 0;
}

glib_helper::VariantPtr Request::value(const char *key, const GVariantType *type) const {
    if (!unique(key))
        return nullptr;
    auto found = view_.lookup(key, type);
    if (!found || !g_variant_is_normal_form(found.get()))
        return nullptr;
    return found;
}

std::optional<std::string> Request::string(const char *key, std::size_t maxBytes) const {
    auto found = value(key, G_VARIANT_TYPE_STRING);
    if (!found)
        return std::nullopt;
    gsize length = 0;
    const gchar *text = g_variant_get_string(found.get(), &length);
    if (length > maxBytes)
        return std::nullopt;
    return std::string(text, length);
}

std::optional<int64_t> Request::integer(const char *key, int64_t min, int64_t max) const {
    auto found = value(key, nullptr);
    if (!found)
        return std::nullopt;
    int64_t number;
    if (g_variant_is_of_type(found.get(), G_VARIANT_TYPE_INT32))
        number = g_variant_get_int32(found.get());
    else if (g_variant_is_of_type(found.get(), G_VARIANT_TYPE_UINT32))
        number = g_variant_get_uint32(found.get());
    else
        return std::nullopt;
    if (number < min || number > max)
        return std::nullopt;
    return number;
}

std::optional<Addon> Request::addon() const {
    Addon addon{kDefaultAddonName, 0};
    // An optional key counts as absent only when it is not there at all.
    auto present = [this](const char *key) { return !unique(key) || view_.lookup(key, nullptr) != nullptr; };

    if (present("scene")) {
        auto found = value("scene", G_VARIANT_TYPE_STRING);
        if (!found)
            return std::nullopt;
        gsize length = 0;
        const gchar *text = g_variant_get_string(found.get(), &length);
        addon.name.assign(text, length);
    }
    bool flags[2] = {false, false};
    const char *flagKeys[2] = {"sync", "scene_switch"};
    for (int i = 0; i < 2; ++i) {
        if (!present(flagKeys[i]))
            continue;
        auto found = value(flagKeys[i], G_VARIANT_TYPE_BOOLEAN);
        if (!found)
            return std::nullopt;
        flags[i] = g_variant_get_boolean(found.get()) != FALSE;
    }
    addon.kind = flags[1] ? 2 : flags[0] ? 1 : 0;
    return addon;
}

}  // namespace zorva::plugin
