// The 69-byte kernel status record of one container and its write to the
// kernel status file. The record and the write are the store's
// (container_record.h); the core library keeps its own id rule: any UTF-8
// id of at most 64 bytes.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "container_record.h"
#include "sysutil/unique_fd.h"

namespace zorva::scene {

inline constexpr size_t kMaxContainerIdBytes = vrex::record::kContainerIdLength;

// The id, NUL-terminated and zero-padded to 65 bytes, then the container
// status and the three control statuses, one byte each.
Result<_ContainerPolicy> makeKernelRecord(std::string_view id, int32_t status, int32_t exectl, int32_t netctl,
                                          int32_t filectl);

// Opens the existing status file write-only (no create, no truncate) and
// writes the record in one write of exactly 69 bytes.
Status writeKernelRecord(const std::string &path, const _ContainerPolicy &record);

// Holds the kernel table's lock for its lifetime: the lock that
// container-policy-tool holds around its kernel writes and store updates
// (vrex::record::kKernelTableLockPath in the installed system), so that the
// kernel's record and the store end with the same last writer.
class KernelTableLock {
public:
    // Waits for the lock. An empty path takes none (tests of one writer).
    static Result<KernelTableLock> acquire(const std::string &path);

private:
    explicit KernelTableLock(vrex::sys::UniqueFd fd) : fd_(std::move(fd)) {}
    vrex::sys::UniqueFd fd_;  // closing it releases the lock
};

}  // namespace zorva::scene
