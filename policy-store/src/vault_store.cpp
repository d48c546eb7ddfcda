// The exported C interface: each function binds the fixed paths and calls
// the store core. No exception crosses the C boundary.
#include <cerrno>
#include <cstdio>
#include <new>

#include "store_core.h"
#include "vault_store.h"

namespace {

template <typename F>
int guarded(F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        std::perror("malloc");
    } catch (...) {
        std::fputs("Unexpected internal error in the policy store\n", stderr);
    }
    return -1;
}

}  // namespace

extern "C" {

VAULT_STORE_API int vault_store_save(const _ContainerPolicy *policies, int count) {
    return guarded([&] { return vault::save(vault::kDefaultStorePath, policies, count); });
}

VAULT_STORE_API int vault_store_load(_ContainerPolicy **policies, int *count) {
    return guarded([&] { return vault::load(vault::kDefaultStorePath, policies, count); });
}

VAULT_STORE_API const char *vault_store_get_default_path(void) { return vault::kDefaultStorePath; }

VAULT_STORE_API bool vault_store_exists(void) {
    return guarded([] { return vault::exists(vault::kDefaultStorePath) ? 1 : 0; }) == 1;
}

VAULT_STORE_API int vault_store_init(void) {
    return guarded([] { return vault::init(vault::kDefaultStorePath); });
}

VAULT_STORE_API void vault_store_cleanup(void) {}

VAULT_STORE_API int vault_store_add_policy(const _ContainerPolicy *policy) {
    return guarded([&] { return vault::add_policy(vault::kDefaultStorePath, policy); });
}

VAULT_STORE_API int vault_store_remove_policy(const char *container_id) {
    return guarded([&] { return vault::remove_policy(vault::kDefaultStorePath, container_id); });
}

VAULT_STORE_API int vault_store_find_policy(const char *container_id, _ContainerPolicy *out) {
    return guarded([&] { return vault::find_policy(vault::kDefaultStorePath, container_id, out); });
}

VAULT_STORE_API int vault_store_clear_all(void) {
    return guarded([] { return vault::clear_all(vault::kDefaultStorePath); });
}

VAULT_STORE_API int vault_store_load_to_array(ContainerPolicyArray *array) {
    return guarded([&] { return vault::load_to_array(vault::kDefaultStorePath, array); });
}

VAULT_STORE_API void vault_store_array_free(ContainerPolicyArray *array) {
    guarded([&] {
        vault::array_free(array);
        return 0;
    });
}

VAULT_STORE_API int vault_store_sync_to_kernel(void) {
    return guarded([] {
        // Excludes the tool and the core library while the table is replaced.
        vault::KernelTableLock lock;
        if (lock.acquire(vrex::record::kKernelTableLockPath) != 0)
            return -1;
        return vault::sync_to_kernel(vault::kDefaultStorePath, vault::kKernelStatusPath);
    });
}

}  // extern "C"
