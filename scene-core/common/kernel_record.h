// The 69-byte kernel status record of one container and its write to the
// kernel status file. The record and the write are the store's
// (container_record.h); the core library keeps its own id rule: any UTF-8
// id of at most 64 bytes.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "container_record.h"

namespace zorva::scene {

inline constexpr size_t kMaxContainerIdBytes = vrex::record::kContainerIdLength;

// The id, NUL-terminated and zero-padded to 65 bytes, then the container
// status and the three control statuses, one byte each.
Result<_ContainerPolicy> makeKernelRecord(std::string_view id, int32_t status, int32_t exectl, int32_t netctl,
                                          int32_t filectl);

// Opens the existing status file write-only (no create, no truncate) and
// writes the record in one write of exactly 69 bytes.
Status writeKernelRecord(const std::string &path, const _ContainerPolicy &record);

}  // namespace zorva::scene
