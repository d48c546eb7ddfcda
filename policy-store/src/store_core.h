// The store's operations with the file paths as parameters. The exported
// vault_store_* functions bind the fixed paths; container-policy-tool and the
// tests call these directly.
#pragma once

#include <cstddef>

#include "container_record.h"
#include "store_format.h"
#include "sysutil/unique_fd.h"
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
// (failures are still reported on standard error). "<policy" elements of the
// file that did not become records (see StoreParser) are counted in *unread.
int load_counted(const char *path, _ContainerPolicy **policies, int *count, size_t *unread, bool announce = true);
// load_counted, with a warning on standard error when elements were unread.
int load(const char *path, _ContainerPolicy **policies, int *count, bool announce = true);
// "Warning: <n> policy elements in <path> could not be read; the file must
// hold one policy per line" on standard error.
void warn_unread(const char *path, size_t unread);
bool exists(const char *path);

int init(const char *path);
// Add and remove refuse to save over a file holding elements that could not
// be read (they would be lost): one line on standard error, -1, the file as
// it was.
int add_policy(const char *path, const _ContainerPolicy *policy);
int remove_policy(const char *path, const char *container_id);
int find_policy(const char *path, const char *container_id, _ContainerPolicy *out);
int clear_all(const char *path);
int load_to_array(const char *path, ContainerPolicyArray *array);
void array_free(ContainerPolicyArray *array);
// Pushes every record it could read, also when elements of the file could
// not be read; then the count is reported and the result is -1.
int sync_to_kernel(const char *path, const char *kernel_path);

// Holds the kernel table's lock (vrex::record::kKernelTableLockPath in the
// installed system) for its lifetime; see container_record.h.
class KernelTableLock {
public:
    // 0 when locked; a failure is reported on standard error. A null path
    // takes no lock.
    int acquire(const char *lock_path);

private:
    vrex::sys::UniqueFd fd_;
};

}  // namespace vault
