// The exported C functions: each binds the fixed system paths and runs the
// operation with its entry checks.
#include "zorva_scene_container.h"

#include "policy/container_status.h"

using namespace zorva::scene;

extern "C" {

int32_t zorva_scene_container_get_status(const char *container_id, const zorva_scene_addon_info *addon) {
    try {
        return runGetStatus(defaultStatusContext(), container_id, addon);
    } catch (...) {
        return -1;
    }
}

int32_t zorva_scene_container_set_status(const char *container_id, int32_t status,
                                         const zorva_scene_addon_info *addon) {
    try {
        return runSetStatus(defaultStatusContext(), container_id, status, addon);
    } catch (...) {
        return 1;
    }
}

int32_t zorva_scene_container_get_module_status(const char *container_id, uint32_t module,
                                                const zorva_scene_addon_info *addon) {
    try {
        return runGetModuleStatus(defaultStatusContext(), container_id, module, addon);
    } catch (...) {
        return -1;
    }
}

int32_t zorva_scene_container_set_module_status(const char *container_id, uint32_t module, uint32_t status,
                                                const zorva_scene_addon_info *addon) {
    try {
        return runSetModuleStatus(defaultStatusContext(), container_id, module, status, addon);
    } catch (...) {
        return 1;
    }
}

}  // extern "C"
