// The eight exported entry points: decode the request, call the core
// library, answer with a response. Nothing is called unless the whole
// request decodes, and no exception leaves an entry point.
//
// Each entry point names only what is its own: the keys it reads (in the
// order they are decoded), the core function they feed and how its result
// is answered. `serve` does the rest, the same for all eight.
#include "zorva_scene_container_plugin.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>

#include "request_decoder.h"
#include "response_messages.h"
#include "zorva_scene_container.h"
#include "zorva_scene_container_plugin_response.h"

using namespace zorva::plugin;

namespace {

// A string key: refused when missing, ill-typed or longer than maxBytes.
struct TextKey {
    using Value = std::string;
    const char *key;
    std::size_t maxBytes;
    const char *failure;

    std::optional<Value> read(const Request &req) const { return req.string(key, maxBytes); }
};

// An integer key feeding a core argument of type T: any "i" or "u" value
// within T's range, so that the conversion below is exact, never a cast
// that changes the value.
template <typename T>
struct IntegerKey {
    using Value = T;
    const char *key;
    const char *failure;

    std::optional<Value> read(const Request &req) const {
        auto number = req.integer(key, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
        if (!number)
            return std::nullopt;
        return static_cast<T>(*number);
    }
};

constexpr TextKey kContainerId{"param1", kMaxIdBytes, kInvalidContainerId};
constexpr IntegerKey<int32_t> kContainerStatus{"param2", kInvalidStatus};
constexpr IntegerKey<uint32_t> kModule{"param2", kInvalidModule};
constexpr IntegerKey<uint32_t> kModuleStatus{"param3", kInvalidStatus};
constexpr TextKey kPath{"param1", kMaxPathBytes, kInvalidParameter};
constexpr IntegerKey<uint32_t> kMode{"param2", kInvalidParameter};

GVariant *refuse(const char *message) { return encode_plugin_response(kDecodeFailureCode, message); }

// A change's result: the code and its message.
GVariant *answer(int32_t code) { return encode_plugin_response(code, messageForCode(code)); }

// A get call's result: a negative one is a failure code, anything else the
// status read.
GVariant *answerRead(int32_t result) {
    if (result < 0)
        return answer(result);
    return encode_plugin_response(0, messageForCode(0), static_cast<int>(result));
}

// What a decoded value is passed to the core library as.
const char *argument(const std::string &text) { return text.c_str(); }
template <typename T>
T argument(T number) {
    return number;
}

// Decodes `keys` in order (the first failure answers, with its key's
// message), then the add-on keys, then calls `core(values..., &addon)` and
// answers its result with `reply`. Only decoding can throw (a string copy
// that finds no memory), before anything is called.
template <typename Core, typename... Keys>
GVariant *serve(GVariant *request, GVariant *(*reply)(int32_t), Core core, const Keys &...keys) noexcept {
    try {
        auto req = Request::open(request);
        if (!req)
            return refuse(kInvalidFormat);
        const char *failure = nullptr;
        auto decode = [&](const auto &key) {
            decltype(key.read(*req)) value;
            if (failure == nullptr && !(value = key.read(*req)))
                failure = key.failure;
            return value;
        };
        // A braced list is evaluated left to right: keys decode in order.
        std::tuple values{decode(keys)...};
        if (failure != nullptr)
            return refuse(failure);
        auto addon = req->addon();
        if (!addon)
            return refuse(kInvalidParameter);
        auto info = addon->info();
        return std::apply([&](const auto &...value) { return reply(core(argument(*value)..., &info)); }, values);
    } catch (...) {
        return answer(-100);
    }
}

}  // namespace

extern "C" {

GVariant *zorva_scene_plugin_container_get_status(GVariant *request) {
    return serve(request, answerRead, zorva_scene_container_get_status, kContainerId);
}

GVariant *zorva_scene_plugin_container_set_status(GVariant *request) {
    return serve(request, answer, zorva_scene_container_set_status, kContainerId, kContainerStatus);
}

GVariant *zorva_scene_plugin_container_get_module_status(GVariant *request) {
    return serve(request, answerRead, zorva_scene_container_get_module_status, kContainerId, kModule);
}

GVariant *zorva_scene_plugin_container_set_module_status(GVariant *request) {
    return serve(request, answer, zorva_scene_container_set_module_status, kContainerId, kModule, kModuleStatus);
}

GVariant *zorva_scene_plugin_filectl_add_container_policy_by_path(GVariant *request) {
    return serve(request, answer, zorva_scene_add_container_policy_by_path_filectl, kPath, kMode);
}

GVariant *zorva_scene_plugin_filectl_remove_container_policy_by_path(GVariant *request) {
    return serve(request, answer, zorva_scene_remove_container_policy_by_path_filectl, kPath, kMode);
}

GVariant *zorva_scene_plugin_netctl_add_container_policy_by_path(GVariant *request) {
    return serve(request, answer, zorva_scene_add_container_policy_by_path_netctl, kPath);
}

GVariant *zorva_scene_plugin_netctl_remove_container_policy_by_path(GVariant *request) {
    return serve(request, answer, zorva_scene_remove_container_policy_by_path_netctl, kPath);
}

}  // extern "C"
