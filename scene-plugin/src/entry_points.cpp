// The eight exported entry points: decode the request, call the core
// library, answer with a response. Nothing is called unless the whole
// request decodes, and no exception leaves an entry point.
#include "zorva_scene_container_plugin.h"

#include <cstdint>
#include <limits>

#include "request_decoder.h"
#include "response_messages.h"
#include "zorva_scene_container.h"
#include "zorva_scene_container_plugin_response.h"

using namespace zorva::plugin;

namespace {

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kUint32Max = std::numeric_limits<uint32_t>::max();

GVariant *refuse(const char *message) { return encode_plugin_response(kDecodeFailureCode, message); }

GVariant *answer(int32_t code) { return encode_plugin_response(code, messageForCode(code)); }

// A get call's result: a negative one is a failure code, anything else the
// status read.
GVariant *answerRead(int32_t result) {
    if (result < 0)
        return answer(result);
    return encode_plugin_response(0, messageForCode(0), static_cast<int>(result));
}

// Runs an entry point's body. Only decoding can throw (a string copy that
// finds no memory), before anything is called.
template <typename Body>
GVariant *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return answer(-100);
    }
}

// Decodes the path of the rule entry points, then `call(path, addon info)`.
template <typename Call>
GVariant *pathRule(GVariant *request, bool withMode, Call &&call) {
    return guarded([&]() -> GVariant * {
        auto req = Request::open(request);
        if (!req)
            return refuse(kInvalidFormat);
        auto path = req->string("param1", kMaxPathBytes);
        if (!path)
            return refuse(kInvalidParameter);
        std::optional<int64_t> mode = 0;
        if (withMode)
            mode = req->integer("param2", 0, kUint32Max);
        if (!mode)
            return refuse(kInvalidParameter);
        auto addon = req->addon();
        if (!addon)
            return refuse(kInvalidParameter);
        auto info = addon->info();
        return answer(call(path->c_str(), static_cast<uint32_t>(*mode), &info));
    });
}

}  // namespace

extern "C" {

GVariant *zorva_scene_plugin_container_get_status(GVariant *request) {
    return guarded([&]() -> GVariant * {
        auto req = Request::open(request);
        if (!req)
            return refuse(kInvalidFormat);
        auto id = req->string("param1", kMaxIdBytes);
        if (!id)
            return refuse(kInvalidContainerId);
        auto addon = req->addon();
        if (!addon)
            return refuse(kInvalidParameter);
        auto info = addon->info();
        return answerRead(zorva_scene_container_get_status(id->c_str(), &info));
    });
}

GVariant *zorva_scene_plugin_container_set_status(GVariant *request) {
    return guarded([&]() -> GVariant * {
        auto req = Request::open(request);
        if (!req)
            return refuse(kInvalidFormat);
        auto id = req->string("param1", kMaxIdBytes);
        if (!id)
            return refuse(kInvalidContainerId);
        auto status = req->integer("param2", kInt32Min, kInt32Max);
        if (!status)
            return refuse(kInvalidStatus);
        auto addon = req->addon();
        if (!addon)
            return refuse(kInvalidParameter);
        auto info = addon->info();
        return answer(zorva_scene_container_set_status(id->c_str(), static_cast<int32_t>(*status), &info));
    });
}

GVariant *zorva_scene_plugin_container_get_module_status(GVariant *request) {
    return guarded([&]() -> GVariant * {
        auto req = Request::open(request);
        if (!req)
            return refuse(kInvalidFormat);
        auto id = req->string("param1", kMaxIdBytes);
        if (!id)
            return refuse(kInvalidContainerId);
        auto module = req->integer("param2", 0, kUint32Max);
        if (!module)
            return refuse(kInvalidModule);
        auto addon = req->addon();
        if (!addon)
            return refuse(kInvalidParameter);
        auto info = addon->info();
        return answerRead(zorva_scene_container_get_module_status(id->c_str(), static_cast<uint32_t>(*module), &info));
    });
}

GVariant *zorva_scene_plugin_container_set_module_status(GVariant *request) {
    return guarded([&]() -> GVariant * {
        auto req = Request::open(request);
        if (!req)
            return refuse(kInvalidFormat);
        auto id = req->string("param1", kMaxIdBytes);
        if (!id)
            return refuse(kInvalidContainerId);
        auto module = req->integer("param2", 0, kUint32Max);
        if (!module)
            return refuse(kInvalidModule);
        auto status = req->integer("param3", 0, kUint32Max);
        if (!status)
            return refuse(kInvalidStatus);
        auto addon = req->addon();
        if (!addon)
            return refuse(kInvalidParameter);
        auto info = addon->info();
        return answer(zorva_scene_container_set_module_status(id->c_str(), static_cast<uint32_t>(*module),
                                                              static_cast<uint32_t>(*status), &info));
    });
}

GVariant *zorva_scene_plugin_filectl_add_container_policy_by_path(GVariant *request) {
    return pathRule(request, true, [](const char *path, uint32_t mode, const zorva_scene_addon_info *addon) {
        return zorva_scene_add_container_policy_by_path_filectl(path, mode, addon);
    });
}

GVariant *zorva_scene_plugin_filectl_remove_container_policy_by_path(GVariant *request) {
    return pathRule(request, true, [](const char *path, uint32_t mode, const zorva_scene_addon_info *addon) {
        return zorva_scene_remove_container_policy_by_path_filectl(path, mode, addon);
    });
}

GVariant *zorva_scene_plugin_netctl_add_container_policy_by_path(GVariant *request) {
    return pathRule(request, false, [](const char *path, uint32_t, const zorva_scene_addon_info *addon) {
        return zorva_scene_add_container_policy_by_path_netctl(path, addon);
    });
}

GVariant *zorva_scene_plugin_netctl_remove_container_policy_by_path(GVariant *request) {
    return pathRule(request, false, [](const char *path, uint32_t, const zorva_scene_addon_info *addon) {
        return zorva_scene_remove_container_policy_by_path_netctl(path, addon);
    });
}

}  // extern "C"
