// The container record's vocabulary, in one place for the store, the tool and
// the core library: the identifier's length and the store's hexadecimal rule,
// the switch values, the 69-byte record, and its one write to the kernel
// status file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "vault_store.h"

namespace vrex::record {

// The identifier's bytes, without the NUL that ends it in the record.
inline constexpr size_t kContainerIdLength = sizeof(_ContainerPolicy::container_id) - 1;
// The record is the kernel's wire format: 65 bytes of identifier, 4 switches.
inline constexpr size_t kRecordSize = sizeof(_ContainerPolicy);
static_assert(kContainerIdLength == 64 && kRecordSize == 69, "the kernel record is 64 + 1 + 4 bytes");

// Values of the global switch.
inline constexpr uint8_t kGlobalOff = 0;
inline constexpr uint8_t kGlobalOn = 2;
inline constexpr uint8_t kGlobalSoftMode = 4;
// Values of the exec, network and file controls.
inline constexpr uint8_t kControlDisabled = 0;
inline constexpr uint8_t kControlEnabled = 1;

// A global switch value the kernel defines: off, on or soft mode.
constexpr bool isGlobalSwitchValue(long long value) {
    return value == kGlobalOff || value == kGlobalOn || value == kGlobalSoftMode;
}

constexpr bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Every character is a hexadecimal digit of either case. Branch-free and
// inline, so that the compiler checks an identifier's 64 characters as vectors.
inline bool allHexDigits(std::string_view text) {
    unsigned bad = 0;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        unsigned digit = static_cast<unsigned char>(c - '0') < 10;
        unsigned letter = static_cast<unsigned char>((c | 0x20) - 'a') < 6;
        bad |= (digit | letter) ^ 1u;
    }
    return bad == 0;
}

// The store's identifier rule: exactly 64 hexadecimal digits, then a NUL. A
// null pointer fails; at most 65 bytes are read, never past the NUL.
bool isValidContainerId(const char *id);

// The record for `id` (at most kContainerIdLength bytes, NUL-padded to 65)
// and the four switches.
_ContainerPolicy makeRecord(std::string_view id, uint8_t global, uint8_t exec, uint8_t net, uint8_t file);

// The lock that every writer of the kernel's container table holds around its
// kernel write and the store update that goes with it: the tool's write,
// clear and sync, the store's sync and the core library's status changes. The
// table and the store then end with the same last writer. It lives under /run,
// which exists from early boot and stays writable when /etc is not, and in
// which only root can make "vrex". The file is taken with
// vrex::sys::lockPrivateFile (created 0600, a planted one refused). Never take
// it while holding the store's own lock beside the store file: the order is
// this lock first, then the store's.
inline constexpr const char *kKernelTableLockPath = "/run/vrex/container-policy.lock";

// The step of a kernel write that failed.
enum class KernelStep : uint8_t {
    None,   // the write returned `accepted` and the file closed cleanly
    Open,   // the status file could not be opened (nothing was written)
    Write,  // the write call failed
    Close,  // the write returned `accepted`, then closing failed
};

struct KernelWrite {
    KernelStep failed = KernelStep::None;
    int err = 0;          // errno of the failed step
    size_t accepted = 0;  // bytes the kernel took; a record is in force only when whole
};

// Opens the kernel status file write-only (never created, never truncated),
// hands it the bytes in one write call (repeated only while interrupted
// before taking any) and closes it. A count short of `size` is reported in
// `accepted`, not as a failure: each caller words it.
KernelWrite writeToKernel(const char *path, const void *bytes, size_t size);

// For the store and the tool, which report as perror does: a failed open or
// write printed under the caller's label. A failed close after a whole write
// is not theirs to report. True when the open or the write failed.
bool printKernelFailure(const KernelWrite &sent, const char *openLabel, const char *writeLabel);

}  // namespace vrex::record
