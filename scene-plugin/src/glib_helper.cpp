#include "glib_helper.h"

#include <utility>

namespace glib_helper {

namespace {

// A floating "s" value holding `text`, made valid UTF-8 when it is not.
GVariant *newValidString(const char *text) {
    if (g_utf8_validate(text, -1, nullptr))
        return g_variant_new_string(text);
    return g_variant_new_take_string(g_utf8_make_valid(text, -1));
}

bool usableKey(const char *key) { return key != nullptr && g_utf8_validate(key, -1, nullptr); }

// Drops a floating reference handed to a call that keeps nothing.
void consumeFloating(GVariant *value) {
    if (value != nullptr && g_variant_is_floating(value))
        g_variant_unref(g_variant_ref_sink(value));
}

}  // namespace

DictBuilder::DictBuilder() : builder_(g_variant_builder_new(G_VARIANT_TYPE_VARDICT)) {}

DictBuilder::~DictBuilder() {
    if (builder_ != nullptr)
        g_variant_builder_unref(builder_);
}

DictBuilder::DictBuilder(DictBuilder &&other) noexcept : builder_(std::exchange(other.builder_, nullptr)) {}

DictBuilder &DictBuilder::operator=(DictBuilder &&other) noexcept {
    if (this != &other) {
        if (builder_ != nullptr)
            g_variant_builder_unref(builder_);
        builder_ = std::exchange(other.builder_, nullptr);
    }
    return *this;
}

void DictBuilder::add(const char *key, GVariant *value) {
    if (builder_ == nullptr || !usableKey(key)) {
        consumeFloating(value);
        return;
    }
    g_variant_builder_add_value(builder_,
                                g_variant_new_dict_entry(g_variant_new_string(key), g_variant_new_variant(value)));
}

DictBuilder &DictBuilder::addInt32(const char *key, int32_t value) {
    add(key, g_variant_new_int32(value));
    return *this;
}

DictBuilder &DictBuilder::addInt64(const char *key, int64_t value) {
    add(key, g_variant_new_int64(value));
    return *this;
}

DictBuilder &DictBuilder::addUint32(const char *key, uint32_t value) {
    add(key, g_variant_new_uint32(value));
    return *this;
}

DictBuilder &DictBuilder::addUint64(const char *key, uint64_t value) {
    add(key, g_variant_new_uint64(value));
    return *this;
}

DictBuilder &DictBuilder::addBool(const char *key, bool value) {
    add(key, g_variant_new_boolean(value));
    return *this;
}

DictBuilder &DictBuilder::addString(const char *key, const char *value) {
    if (value != nullptr)
        add(key, newValidString(value));
    return *this;
}

DictBuilder &DictBuilder::addVariant(const char *key, GVariant *value) {
    // g_variant_new_variant sinks a floating value and refs any other; when
    // add() keeps nothing, dropping the box releases that reference again.
    if (value != nullptr)
        add(key, g_variant_new_variant(value));
    return *this;
}

DictBuilder &DictBuilder::addStringArray(const char *key, const char *const *strings, int count) {
    if (builder_ == nullptr || !usableKey(key) || count < -1)
        return *this;
    GVariantBuilder array;
    g_variant_builder_init(&array, G_VARIANT_TYPE_STRING_ARRAY);
    if (strings != nullptr) {
        for (int i = 0; count == -1 ? strings[i] != nullptr : i < count; ++i)
            g_variant_builder_add_value(&array, newValidString(strings[i] != nullptr ? strings[i] : ""));
    }
    add(key, g_variant_builder_end(&array));
    return *this;
}

GVariant *DictBuilder::build() {
    if (builder_ == nullptr)
        return nullptr;
    GVariant *dict = g_variant_builder_end(builder_);
    g_variant_builder_unref(std::exchange(builder_, nullptr));
    return dict;
}

DictView::~DictView() {
    if (dict_ != nullptr)
        g_variant_dict_unref(dict_);
}

DictView::DictView(DictView &&other) noexcept : dict_(std::exchange(other.dict_, nullptr)) {}

DictView &DictView::operator=(DictView &&other) noexcept {
    if (this != &other) {
        if (dict_ != nullptr)
            g_variant_dict_unref(dict_);
        dict_ = std::exchange(other.dict_, nullptr);
    }
    return *this;
}

std::optional<DictView> DictView::init(GVariant *value) {
    if (value == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE_VARDICT))
        return std::nullopt;
    return DictView(g_variant_dict_new(value));
}

VariantPtr DictView::lookup(const char *key, const GVariantType *type) const {
    if (dict_ == nullptr || key == nullptr)
        return nullptr;
    return VariantPtr(g_variant_dict_lookup_value(dict_, key, type));
}

std::optional<int32_t> DictView::getInt32(const char *key) const {
    if (auto v = lookup(key, G_VARIANT_TYPE_INT32))
        return g_variant_get_int32(v.get());
    return std::nullopt;
}

std::optional<int64_t> DictView::getInt64(const char *key) const {
    if (auto v = lookup(key, G_VARIANT_TYPE_INT64))
        return g_variant_get_int64(v.get());
    return std::nullopt;
}

std::optional<uint32_t> DictView::getUint32(const char *key) const {
    if (auto v = lookup(key, G_VARIANT_TYPE_UINT32))
        return g_variant_get_uint32(v.get());
    return std::nullopt;
}

std::optional<uint64_t> DictView::getUint64(const char *key) const {
    if (auto v = lookup(key, G_VARIANT_TYPE_UINT64))
        return g_variant_get_uint64(v.get());
    return std::nullopt;
}

std::optional<bool> DictView::getBool(const char *key) const {
    if (auto v = lookup(key, G_VARIANT_TYPE_BOOLEAN))
        return g_variant_get_boolean(v.get()) != FALSE;
    return std::nullopt;
}

std::optional<std::string> DictView::getString(const char *key) const {
    if (auto v = lookup(key, G_VARIANT_TYPE_STRING)) {
        gsize length = 0;
        const gchar *text = g_variant_get_string(v.get(), &length);
        return std::string(text, length);
    }
    return std::nullopt;
}

GVariant *DictView::getVariant(const char *key) const {
    if (auto v = lookup(key, G_VARIANT_TYPE_VARIANT))
        return g_variant_get_variant(v.get());
    return nullptr;
}

const gchar **DictView::getStringArray(const char *key, gsize *count) const {
    if (count != nullptr)
        *count = 0;
    // The strings point into the value, which the dictionary keeps alive.
    if (auto v = lookup(key, G_VARIANT_TYPE_STRING_ARRAY))
        return g_variant_get_strv(v.get(), count);
    return nullptr;
}

int64_t VariantArray::loopWhile(GVariant *array, const Callback &callback) {
    if (array == nullptr || !callback)
        return -1;
    if (!g_variant_is_of_type(array, G_VARIANT_TYPE_ARRAY))
        return -2;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    int64_t visited = 0;
    while (GVariant *child = g_variant_iter_next_value(&iter)) {
        VariantPtr element(child);
        ++visited;
        if (!callback(static_cast<std::size_t>(visited - 1), element.get()))
            break;
    }
    return visited;
}

}  // namespace glib_helper
