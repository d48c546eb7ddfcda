#include "container_record.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "sysutil/io.h"
#include "sysutil/unique_fd.h"

namespace vrex::record {

namespace {

// The digit rule as a table: one load per character in the save loop's check.
struct HexTable {
    bool digit[256] = {};
    constexpr HexTable() {
        for (int c = 0; c < 256; ++c)
            digit[c] = isHexDigit(static_cast<char>(c));
    }
};
constexpr HexTable kHex;

}  // namespace

bool isValidContainerId(const char *id) {
    if (id == nullptr)
        return false;
    for (size_t i = 0; i < kContainerIdLength; ++i)
        if (!kHex.digit[static_cast<unsigned char>(id[i])])
            return false;  // a NUL is not a hexadecimal digit: the scan ends there
    return id[kContainerIdLength] == '\0';
}

_ContainerPolicy makeRecord(std::string_view id, uint8_t global, uint8_t exec, uint8_t net, uint8_t file) {
    _ContainerPolicy record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.container_id, id.data(), id.size() < kContainerIdLength ? id.size() : kContainerIdLength);
    record.global_switch = global;
    record.exec_control = exec;
    record.network_control = net;
    record.file_protection = file;
    return record;
}

KernelWrite writeToKernel(const char *path, const void *bytes, size_t size) {
    sys::UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd)
        return {KernelStep::Open, errno, 0};
    ssize_t n = sys::writeOnce(fd.get(), bytes, size);
    if (n < 0)
        return {KernelStep::Write, errno, 0};
    if (fd.close() != 0)
        return {KernelStep::Close, errno, static_cast<size_t>(n)};
    return {KernelStep::None, 0, static_cast<size_t>(n)};
}

bool printKernelFailure(const KernelWrite &sent, const char *openLabel, const char *writeLabel) {
    if (sent.failed == KernelStep::Open)
        sys::printError(openLabel, sent.err);
    else if (sent.failed == KernelStep::Write)
        sys::printError(writeLabel, sent.err);
    else
        return false;
    return true;
}

}  // namespace vrex::record
