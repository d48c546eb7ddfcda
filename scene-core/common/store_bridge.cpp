#include "common/store_bridge.h"

#include <dlfcn.h>

#include <memory>
#include <string>

#include "common/output.h"

namespace zorva::scene {

namespace {
constexpr const char *kBridgeFailed = "dlopen_vault_store_add_policy failed";

std::string loaderError(const StoreLoader &loader, const char *fallback) {
    const char *text = loader.lastError ? loader.lastError() : nullptr;
    return text ? text : fallback;
}
}  // namespace

const StoreLoader &systemStoreLoader() {
    static const StoreLoader loader{
        "libvault_store.so",
        [](const char *name, int flags) { return ::dlopen(name, flags); },
        [](void *handle, const char *name) { return ::dlsym(handle, name); },
        [](void *handle) { return ::dlclose(handle); },
        []() -> const char * { return ::dlerror(); },
    };
    return loader;
}

Status addPolicyWithTable(const VaultStoreTable &table, const _ContainerPolicy &record) {
    if (table.add_policy == nullptr)
        return Error::foreign("vault_store_add_policy is missing").context(kBridgeFailed);
    if (table.init != nullptr)
        table.init();  // only checks the directory, which the add checks again
    int ret = table.add_policy(&record);
    printLine("vault_store_add_policy ret: " + std::to_string(ret));
    return {};
}

Status addPolicyThroughStore(const StoreLoader &loader, const _ContainerPolicy &record) {
    loader.lastError();  // clear a stale message
    void *handle = loader.open(loader.libraryName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return Error::foreign(loaderError(loader, "cannot load the store library")).context(kBridgeFailed);
    auto closer = [&loader](void *h) { loader.close(h); };
    std::unique_ptr<void, decltype(closer)> library(handle, closer);

    VaultStoreTable table{};
    loader.lastError();
    void *add = loader.symbol(handle, "vault_store_add_policy");
    if (add == nullptr)
        return Error::foreign(loaderError(loader, "vault_store_add_policy not found")).context(kBridgeFailed);
    table.add_policy = reinterpret_cast<int (*)(const _ContainerPolicy *)>(add);
    table.init = reinterpret_cast<int (*)(void)>(loader.symbol(handle, "vault_store_init"));
    return addPolicyWithTable(table, record);
}

}  // namespace zorva::scene
