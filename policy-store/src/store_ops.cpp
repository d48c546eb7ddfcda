// The store's operations: each one loads the whole file, changes the array
// and saves it whole, under the lock beside the store; and the one-write push
// of all records to the kernel status file.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container_record.h"
#include "store_core.h"
#include "store_file.h"
#include "sysutil/unique_fd.h"

namespace vault {

namespace {

using vrex::record::kContainerIdLength;
using vrex::record::kRecordSize;
using Records = vrex::sys::MallocPtr<_ContainerPolicy>;

// load() into an owned array.
int loadOwned(const char *path, Records &records, int &count) {
    _ContainerPolicy *raw = nullptr;
    int rc = load(path, &raw, &count);
    records.reset(raw);
    return rc;
}

// load_counted() into an owned array.
int loadOwnedCounted(const char *path, Records &records, int &count, size_t &unread) {
    _ContainerPolicy *raw = nullptr;
    int rc = load_counted(path, &raw, &count, &unread);
    records.reset(raw);
    return rc;
}

// The records held under the store lock for one load-change-save cycle.
struct LockedRecords {
    StoreLock lock;
    Records records;
    int count = 0;
    // Takes the lock, then loads the file: 0, or -1 after the failure is
    // reported. A file holding elements that could not be read is refused
    // here, before any change: saving the records read would drop the others.
    int load(const char *path) {
        size_t unread = 0;
        if (lock.acquire(path) != 0 || loadOwnedCounted(path, records, count, unread) != 0)
            return -1;
        if (unread > 0) {
            std::fprintf(stderr,
                         "Not saving %s: %zu policy element%s in it could not be read; the file must hold one policy "
                         "per line\n",
                         path, unread, unread == 1 ? "" : "s");
            return -1;
        }
        return 0;
    }
};

int findIndex(const _ContainerPolicy *policies, int count, const char *id) {
    for (int i = 0; i < count; ++i)
        if (std::memcmp(policies[i].container_id, id, kContainerIdLength) == 0)
            return i;
    return -1;
}

// Adds the record at the end of the array, one record larger.
int appendRecord(Records &records, int &count, const _ContainerPolicy &rec) {
    if (count == INT_MAX) {
        std::fputs("Too many policies in XML\n", stderr);
        return -1;
    }
    void *grown = std::realloc(records.get(), (static_cast<size_t>(count) + 1) * kRecordSize);
    if (grown == nullptr) {
        std::perror("realloc");
        return -1;
    }
    records.release();
    records.reset(static_cast<_ContainerPolicy *>(grown));
    std::memcpy(&records.get()[count], &rec, kRecordSize);
    ++count;
    return 0;
}

int saveUnlocked(const char *path, const _ContainerPolicy *policies, int count) {
    if (writeStoreFile(path, policies, count) != 0)
        return -1;
    std::fprintf(stdout, "Successfully saved %d policies to %s\n", count, path);
    return 0;
}

}  // namespace

int save(const char *path, const _ContainerPolicy *policies, int count) {
    if (path == nullptr || count < 0 || (count > 0 && policies == nullptr)) {
        std::fputs("Invalid parameters\n", stderr);
        return -1;
    }
    if (check_directory_exists(path) != 0)
        return -1;
    StoreLock lock;
    if (lock.acquire(path) != 0)
        return -1;
    return saveUnlocked(path, policies, count);
}

int init(const char *path) { return check_directory_exists(path) == 0 ? 0 : -1; }

int add_policy(const char *path, const _ContainerPolicy *policy) {
    if (policy == nullptr || !is_valid_container_id(policy->container_id)) {
        std::fputs("Invalid policy or container ID\n", stderr);
        return -1;
    }
    if (check_directory_exists(path) != 0) {
        std::fputs("Failed to check directory exists\n", stderr);
        return -1;
    }
    LockedRecords store;
    if (store.load(path) != 0)
        return -1;
    int at = findIndex(store.records.get(), store.count, policy->container_id);
    if (at >= 0)
        std::memcpy(&store.records.get()[at], policy, kRecordSize);
    else if (appendRecord(store.records, store.count, *policy) != 0)
        return -1;
    int rc = saveUnlocked(path, store.records.get(), store.count);
    if (rc == 0)
        std::fprintf(stdout, "Successfully added/updated policy for container %s\n", policy->container_id);
    return rc;
}

int remove_policy(const char *path, const char *container_id) {
    if (!is_valid_container_id(container_id)) {
        std::fputs("Invalid container ID\n", stderr);
        return -1;
    }
    LockedRecords store;
    if (store.load(path) != 0)
        return -1;
    int at = findIndex(store.records.get(), store.count, container_id);
    if (at < 0)
        return 0;
    _ContainerPolicy *recs = store.records.get();
    std::memmove(&recs[at], &recs[at + 1], static_cast<size_t>(store.count - at - 1) * kRecordSize);
    int rc = saveUnlocked(path, recs, store.count - 1);
    if (rc == 0)
        std::fprintf(stdout, "Successfully removed policy for container %s\n", container_id);
    return rc;
}

int find_policy(const char *path, const char *container_id, _ContainerPolicy *out) {
    if (container_id == nullptr || out == nullptr || !is_valid_container_id(container_id)) {
        std::fputs("Invalid parameters\n", stderr);
        return -1;
    }
    Records records;
    int count = 0;
    if (loadOwned(path, records, count) != 0)
        return -1;
    int at = findIndex(records.get(), count, container_id);
    if (at < 0)
        return -1;
    std::memcpy(out, &records.get()[at], kRecordSize);
    return 0;
}

int clear_all(const char *path) {
    if (check_directory_exists(path) != 0)
        return -1;
    StoreLock lock;
    if (lock.acquire(path) != 0)
        return -1;
    if (writeStoreFile(path, nullptr, 0) != 0)
        return -1;
    std::fprintf(stdout, "Successfully cleared all policies in %s\n", path);
    return 0;
}

int load_to_array(const char *path, ContainerPolicyArray *array) {
    if (array == nullptr)
        return -1;
    // The descriptor may be uninitialised: empty it without freeing.
    array->policies = nullptr;
    array->count = 0;
    array->reserved = 0;
    _ContainerPolicy *records = nullptr;
    int count = 0;
    if (load(path, &records, &count) != 0)
        return -1;
    array->policies = records;
    array->count = count;
    return 0;
}

void array_free(ContainerPolicyArray *array) {
    if (array == nullptr)
        return;
    std::free(array->policies);
    array->policies = nullptr;
    array->count = 0;
}

int sync_to_kernel(const char *path, const char *kernel_path) {
    Records records;
    int count = 0;
    size_t unread = 0;
    if (loadOwnedCounted(path, records, count, unread) != 0) {
        std::fputs("Failed to load policies from XML\n", stderr);
        return -1;
    }
    // What was read is still pushed: at boot, protection for those containers
    // beats none. The failure is reported all the same.
    if (unread > 0)
        std::fprintf(stderr,
                     "%zu policy element%s in %s could not be read and will not be synced; the file must hold one "
                     "policy per line\n",
                     unread, unread == 1 ? "" : "s", path);
    const int result = unread > 0 ? -1 : 0;
    if (count == 0) {
        if (result == 0)
            std::fputs("No policies to sync\n", stdout);
        return result;
    }
    // One write of every record: the kernel replaces its table with it.
    size_t want = static_cast<size_t>(count) * kRecordSize;
    vrex::record::KernelWrite sent = vrex::record::writeToKernel(kernel_path, records.get(), want);
    if (vrex::record::printKernelFailure(sent, "open sysfs", "write to sysfs"))
        return -1;
    if (sent.accepted != want) {
        std::fprintf(stderr, "Short write to sysfs: %zu of %zu bytes accepted\n", sent.accepted, want);
        return -1;
    }
    std::fprintf(stdout, "Successfully synced %d policies to kernel\n", count);
    return result;
}

}  // namespace vault
