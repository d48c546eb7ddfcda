// The container and module status operations, below the exported functions:
// they take their paths and the store loader from a context, so that tests run
// them on temporary files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/store_bridge.h"
#include "zorva_scene_container.h"

namespace zorva::scene {

struct StatusContext {
    std::string documentPath;
    std::string policyPath;
    std::string kernelStatusPath;
    // The kernel table's lock, held by the set operations around the kernel
    // write and the store update (see KernelTableLock); empty: no lock.
    std::string kernelTableLockPath;
    std::string moduleName;
    const StoreLoader *store = nullptr;
    // The path of the calling process's executable ("" when unknown).
    std::string (*callerExecutable)() = nullptr;
};

// The fixed paths of the installed system.
StatusContext defaultStatusContext();
// readlink("/proc/self/exe").
std::string currentExecutable();

// The algorithms, for an id that passed the entry checks.
Result<int32_t> getContainerStatus(const StatusContext &ctx, std::string_view id);
Status setContainerStatus(const StatusContext &ctx, std::string_view id, int32_t status);
Result<int32_t> getContainerModuleStatus(const StatusContext &ctx, std::string_view id, uint32_t module);
Status setContainerModuleStatus(const StatusContext &ctx, std::string_view id, uint32_t module, uint32_t status);

// The exported operations with their entry checks (caller, id, UTF-8,
// arguments, add-on kind, in this order). A failure prints its line and
// gives its code; no exception leaves these functions.
int32_t runGetStatus(const StatusContext &ctx, const char *id, const zorva_scene_addon_info *addon);
int32_t runSetStatus(const StatusContext &ctx, const char *id, int32_t status, const zorva_scene_addon_info *addon);
int32_t runGetModuleStatus(const StatusContext &ctx, const char *id, uint32_t module,
                           const zorva_scene_addon_info *addon);
int32_t runSetModuleStatus(const StatusContext &ctx, const char *id, uint32_t module, uint32_t status,
                           const zorva_scene_addon_info *addon);

}  // namespace zorva::scene
