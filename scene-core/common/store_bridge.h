// The bridge to the container policy store library, loaded at run time.
#pragma once

#include "common/error.h"
#include "vault_store.h"

namespace zorva::scene {

// How the store library is found and opened: the dynamic loader's functions
// by default; tests put fakes in their place.
struct StoreLoader {
    const char *libraryName;
    void *(*open)(const char *name, int flags);
    void *(*symbol)(void *handle, const char *name);
    int (*close)(void *handle);
    const char *(*lastError)();
};

// dlopen/dlsym/dlclose/dlerror on "libvault_store.so".
const StoreLoader &systemStoreLoader();

// The store functions this library calls. `init` may be absent.
struct VaultStoreTable {
    int (*init)(void);
    int (*add_policy)(const _ContainerPolicy *policy);
};

// Calls the store with the record and prints "vault_store_add_policy ret: <n>".
// A non-zero result is printed but does not fail: the document and the kernel
// already hold the change, and the store refuses ids that are not 64
// hexadecimal characters, which this library accepts.
Status addPolicyWithTable(const VaultStoreTable &table, const _ContainerPolicy &record);

// Loads the store library through `loader`, fills the table, calls
// addPolicyWithTable and unloads the library. A failed load or lookup is
// reported under "dlopen_vault_store_add_policy failed".
Status addPolicyThroughStore(const StoreLoader &loader, const _ContainerPolicy &record);

}  // namespace zorva::scene
