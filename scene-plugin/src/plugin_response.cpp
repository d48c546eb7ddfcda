// The response functions shared by every entry point and by the plugin
// manager's side. GLib aborts on exhausted memory rather than throwing, so
// nothing here throws but a string copy while decoding, which is caught.
#include "zorva_scene_container_plugin_response.h"

#include <cstdlib>
#include <cstring>

#include "glib_helper.h"

using glib_helper::DictBuilder;
using glib_helper::DictView;

namespace {

// The finished dictionary as a non-floating reference.
GVariant *finish(DictBuilder &builder) { return g_variant_ref_sink(builder.build()); }

}  // namespace

GVariant *encode_plugin_response(int32_t code, const char *message) noexcept {
    DictBuilder builder;
    builder.addInt32("code", code).addString("message", message);
    return finish(builder);
}

GVariant *encode_plugin_response(int32_t code, const char *message, GVariant *data) noexcept {
    DictBuilder builder;
    builder.addInt32("code", code).addString("message", message).addVariant("data", data);
    return finish(builder);
}

GVariant *encode_plugin_response(int32_t code, const char *message, int data) noexcept {
    DictBuilder builder;
    builder.addInt32("code", code).addString("message", message).addInt32("data", data);
    return finish(builder);
}

GVariant *encode_plugin_response(int32_t code, const char *message, const char *const *strings, int count) noexcept {
    DictBuilder builder;
    builder.addInt32("code", code).addString("message", message).addStringArray("data", strings, count);
    return finish(builder);
}

GVariant *encode_plugin_response_for_code(int32_t code, const char *message) noexcept {
    return encode_plugin_response(code, code == 0 && message == nullptr ? "success" : message);
}

PluginResponse *decode_plugin_response(GVariant *response) noexcept {
    try {
        auto view = DictView::init(response);
        if (!view)
            return nullptr;
        auto code = view->getInt32("code");
        if (!code)
            return nullptr;
        auto message = view->getString("message");
        glib_helper::VariantPtr data(view->getVariant("data"));

        auto *decoded = static_cast<PluginResponse *>(std::calloc(1, sizeof(PluginResponse)));
        if (decoded == nullptr)
            return nullptr;
        decoded->code = *code;
        if (message) {
            decoded->message = static_cast<char *>(std::malloc(message->size() + 1));
            if (decoded->message == nullptr) {
                std::free(decoded);
                return nullptr;
            }
            std::memcpy(decoded->message, message->c_str(), message->size() + 1);
        }
        decoded->data = data.release();
        return decoded;
    } catch (...) {
        return nullptr;
    }
}

void free_plugin_response(PluginResponse *response) noexcept {
    if (response == nullptr)
        return;
    std::free(response->message);
    if (response->data != nullptr)
        g_variant_unref(response->data);
    std::free(response);
}
