// Feeds requests built from arbitrary bytes (untrusted serialised GVariants,
// of type "a{sv}" or of a type named by the input) to every entry point of
// the plug-in, linked with the core stand-in, and to the dictionary helpers
// and response functions. Any broken promise aborts:
//   - a response is a new, non-floating "a{sv}" with an "i" code and a message;
//   - the request is borrowed (a floating request stays floating);
//   - a request that calls nothing is answered -1 with a decoding message;
//   - what reaches the core is in range: ids of at most 64 bytes, paths of at
//     most 4095, valid UTF-8, add-on kind 0..2.
// Input: byte 0 bit 0 set: the type string follows, NUL-terminated, then the
// data; clear: the data follows for type "a{sv}". Byte 1: the core's result.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core_standin.h"
#include "glib_helper.h"
#include "response_messages.h"
#include "zorva_scene_container_plugin.h"
#include "zorva_scene_container_plugin_response.h"

using namespace zorva::plugin;
using namespace zorva::plugin::testing;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

struct EntryPoint {
    zorva_scene_plugin_entry call;
    bool reads;
    bool takesPath;
};

const EntryPoint kEntries[] = {
    {zorva_scene_plugin_container_get_status, true, false},
    {zorva_scene_plugin_container_set_status, false, false},
    {zorva_scene_plugin_container_get_module_status, true, false},
    {zorva_scene_plugin_container_set_module_status, false, false},
    {zorva_scene_plugin_filectl_add_container_policy_by_path, false, true},
    {zorva_scene_plugin_filectl_remove_container_policy_by_path, false, true},
    {zorva_scene_plugin_netctl_add_container_policy_by_path, false, true},
    {zorva_scene_plugin_netctl_remove_container_policy_by_path, false, true},
};

bool isDecodeMessage(const char *message) {
    for (const char *m : {kInvalidFormat, kInvalidParameter, kInvalidStatus, kInvalidModule, kInvalidContainerId}) {
        if (std::strcmp(message, m) == 0)
            return true;
    }
    return false;
}

void callEntry(const EntryPoint &entry, GVariant *request, int32_t result) {
    resetCore();
    setCoreResult(result);
    bool floating = request != nullptr && g_variant_is_floating(request);
    glib_helper::VariantPtr response(entry.call(request));
    check(response != nullptr);
    check(!g_variant_is_floating(response.get()));
    check(g_variant_is_of_type(response.get(), G_VARIANT_TYPE_VARDICT));
    check(request == nullptr || g_variant_is_floating(request) == floating);

    int32_t code = 0;
    const char *message = nullptr;
    check(g_variant_lookup(response.get(), "code", "i", &code));
    check(g_variant_lookup(response.get(), "message", "&s", &message));
    const auto &calls = coreCalls();
    if (calls.empty()) {
        check(code == kDecodeFailureCode && isDecodeMessage(message));
        return;
    }
    check(calls.size() == 1);
    const CoreCall &c = calls[0];
    check(!c.nullText && !c.nullAddon && !c.nullAddonName);
    check(c.text.size() <= (entry.takesPath ? 4095u : 64u));
    check(g_utf8_validate(c.text.data(), static_cast<gssize>(c.text.size()), nullptr));
    check(g_utf8_validate(c.addonName.data(), static_cast<gssize>(c.addonName.size()), nullptr));
    check(c.addonKind >= 0 && c.addonKind <= 2);
    int32_t data = 0;
    if (entry.reads && result >= 0) {
        check(code == 0 && std::strcmp(message, "success") == 0);
        check(g_variant_lookup(response.get(), "data", "i", &data) && data == result);
    } else {
        check(code == result && std::strcmp(message, messageForCode(result)) == 0);
        check(!g_variant_lookup(response.get(), "data", "i", &data));
    }
}

// The helpers and response functions on the same value.
void exerciseHelpers(GVariant *value, const std::string &text) {
    if (auto view = glib_helper::DictView::init(value)) {
        for (const char *key : {"param1", "param2", "code", "message", "data"}) {
            (void)view->getString(key);
            (void)view->getInt32(key);
            (void)view->getBool(key);
            glib_helper::VariantPtr inner(view->getVariant(key));
            gsize count = 0;
            g_free(view->getStringArray(key, &count));
        }
    }
    int64_t visited = glib_helper::VariantArray::loopWhile(value, [](std::size_t i, GVariant *) { return i < 3; });
    check(visited == -2 || (visited >= 0 && visited <= 4));
    free_plugin_response(decode_plugin_response(value));

    // Arbitrary bytes as message and strings: repaired, never refused.
    const char *strings[] = {text.c_str(), "", text.c_str()};
    for (GVariant *encoded : {encode_plugin_response(-3, text.c_str()), encode_plugin_response(0, text.c_str(), value),
                              encode_plugin_response(0, text.c_str(), strings, 3)}) {
        check(encoded != nullptr && !g_variant_is_floating(encoded));
        PluginResponse *decoded = decode_plugin_response(encoded);
        check(decoded != nullptr && decoded->message != nullptr);
        free_plugin_response(decoded);
        g_variant_unref(encoded);
    }
}

struct Setup {
    Setup() {
        g_log_set_always_fatal(
            static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    }
} setup;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > (256u << 10))
        return 0;
    const bool namedType = (data[0] & 1) != 0;
    const auto result = static_cast<int32_t>(static_cast<int8_t>(data[1]));
    data += 2;
    size -= 2;

    std::string type = "a{sv}";
    if (namedType) {
        const void *end = std::memchr(data, '\0', size < 64 ? size : 64);
        if (end == nullptr)
            return 0;
        type.assign(reinterpret_cast<const char *>(data));
        size_t used = type.size() + 1;
        data += used;
        size -= used;
        // A value needs a definite type ("r" or "*" name none).
        if (!g_variant_type_string_is_valid(type.c_str()) || !g_variant_type_is_definite(G_VARIANT_TYPE(type.c_str())))
            return 0;
    }

    GBytes *bytes = g_bytes_new(data, size);
    GVariant *request = g_variant_new_from_bytes(G_VARIANT_TYPE(type.c_str()), bytes, FALSE);
    g_bytes_unref(bytes);
    for (const auto &entry : kEntries)
        callEntry(entry, request, result);
    // Once more with a non-floating reference.
    glib_helper::VariantPtr owned(g_variant_ref_sink(request));
    for (const auto &entry : kEntries)
        callEntry(entry, owned.get(), result);
    callEntry(kEntries[0], nullptr, result);

    exerciseHelpers(owned.get(), std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
