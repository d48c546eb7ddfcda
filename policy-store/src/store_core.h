// The store's operations with the file paths as parameters. The exported
// vault_store_* functions bind the fixed paths; container-policy-tool and the
// tests call these directly.
#pragma once

#include <cstddef>

#include "container_record.h"
#include "store_format.h"
#include "vault_store.h"

namespace vault {

inline constexpr const char *kDefaultStorePath = "/etc/vrex/container/container.xml";
inline constexpr const char *kStoreDirectory = "/etc/vrex/container";
inline constexpr const char *kKernelStatusPath = "/sys/kernel/security/vrex/policy_docker/dockerstatus";

// Exactly 64 hexadecimal characters, then a NUL.
inline bool is_valid_container_id(const char *id) { return vrex::record::isValidContainerId(id); }
// 0 when the directory part of path exists and is a directory.
int check_directory_exists(const char *path);

// Save, clear, add and remove hold an exclusive flock on path + this suffix,
// a file beside the store that is never removed.
inline constexpr const char *kLockSuffix = ".lock";

int save(const char *path, const _ContainerPolicy *policies, int count);
// Loads the store file. With announce false the success line is not printed
// (failures are still reported on standard error).
int load(const char *path, _ContainerPolicy **policies, int *count, bool announce = true);
bool exists(const char *path);

int init(const char *path);
int add_policy(const char *path, const _ContainerPolicy *policy);
int remove_policy(const char *path, const char *container_id);
int find_policy(const char *path, const char *container_id, _ContainerPolicy *out);
int clear_all(const char *path);
int load_to_array(const char *path, ContainerPolicyArray *array);
void array_free(ContainerPolicyArray *array);
int sync_to_kernel(const char *path, const char *kernel_path);

}  // namespace vault
