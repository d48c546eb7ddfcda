#include "core_standin.h"

#include <utility>

#include "zorva_scene_container.h"

namespace zorva::plugin::testing {

namespace {

struct State {
    int32_t result = 0;
    bool recording = true;
    uint64_t count = 0;
    std::vector<CoreCall> calls;
    std::function<void(const CoreCall &)> observer;
};

State &state() {
    static State s;
    return s;
}

int32_t record(CoreFunction function, const char *text, int64_t number1, int64_t number2,
               const zorva_scene_addon_info *addon) {
    ++state().count;
    if (!state().recording)
        return state().result;
    CoreCall call;
    call.function = function;
    call.nullText = text == nullptr;
    call.text = text != nullptr ? text : "";
    call.number1 = number1;
    call.number2 = number2;
    call.nullAddon = addon == nullptr;
    if (addon != nullptr) {
        call.nullAddonName = addon->name == nullptr;
        call.addonName = addon->name != nullptr ? addon->name : "";
        call.addonKind = addon->kind;
    }
    state().calls.push_back(call);
    if (state().observer)
        state().observer(call);
    return state().result;
}

}  // namespace

const char *coreFunctionName(CoreFunction function) {
    switch (function) {
    case CoreFunction::GetStatus:
        return "zorva_scene_container_get_status";
    case CoreFunction::SetStatus:
        return "zorva_scene_container_set_status";
    case CoreFunction::GetModuleStatus:
        return "zorva_scene_container_get_module_status";
    case CoreFunction::SetModuleStatus:
        return "zorva_scene_container_set_module_status";
    case CoreFunction::AddFilePath:
        return "zorva_scene_add_container_policy_by_path_filectl";
    case CoreFunction::RemoveFilePath:
        return "zorva_scene_remove_container_policy_by_path_filectl";
    case CoreFunction::AddNetPath:
        return "zorva_scene_add_container_policy_by_path_netctl";
    case CoreFunction::RemoveNetPath:
        return "zorva_scene_remove_container_policy_by_path_netctl";
    }
    return "?";
}

void resetCore() {
    state().result = 0;
    state().recording = true;
    state().count = 0;
    state().calls.clear();
}

void setCoreRecording(bool on) { state().recording = on; }

uint64_t coreCallCount() { return state().count; }

void setCoreResult(int32_t result) { state().result = result; }

const std::vector<CoreCall> &coreCalls() { return state().calls; }

void setCoreObserver(std::function<void(const CoreCall &)> observer) { state().observer = std::move(observer); }

}  // namespace zorva::plugin::testing

using zorva::plugin::testing::CoreFunction;
using zorva::plugin::testing::record;

extern "C" {

int32_t zorva_scene_container_get_status(const char *container_id, const zorva_scene_addon_info *addon) {
    return record(CoreFunction::GetStatus, container_id, -1, -1, addon);
}

int32_t zorva_scene_container_set_status(const char *container_id, int32_t status,
                                         const zorva_scene_addon_info *addon) {
    return record(CoreFunction::SetStatus, container_id, status, -1, addon);
}

int32_t zorva_scene_container_get_module_status(const char *container_id, uint32_t module,
                                                const zorva_scene_addon_info *addon) {
    return record(CoreFunction::GetModuleStatus, container_id, module, -1, addon);
}

int32_t zorva_scene_container_set_module_status(const char *container_id, uint32_t module, uint32_t status,
                                                const zorva_scene_addon_info *addon) {
    return record(CoreFunction::SetModuleStatus, container_id, module, status, addon);
}

int32_t zorva_scene_add_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                         const zorva_scene_addon_info *addon) {
    return record(CoreFunction::AddFilePath, path, mode, -1, addon);
}

int32_t zorva_scene_remove_container_policy_by_path_filectl(const char *path, uint32_t mode,
                                                            const zorva_scene_addon_info *addon) {
    return record(CoreFunction::RemoveFilePath, path, mode, -1, addon);
}

int32_t zorva_scene_add_container_policy_by_path_netctl(const char *path, const zorva_scene_addon_info *addon) {
    return record(CoreFunction::AddNetPath, path, -1, -1, addon);
}

int32_t zorva_scene_remove_container_policy_by_path_netctl(const char *path, const zorva_scene_addon_info *addon) {
    return record(CoreFunction::RemoveNetPath, path, -1, -1, addon);
}

}  // extern "C"
