#include "common/kernel_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"

namespace zorva::scene {

Result<_ContainerPolicy> makeKernelRecord(std::string_view id, int32_t status, int32_t exectl, int32_t netctl,
                                          int32_t filectl) {
    if (id.size() > kMaxContainerIdBytes)
        return Error(ErrorKind::InvalidArgument, "container id to long");
    for (int32_t v : {status, exectl, netctl, filectl}) {
        if (v < 0 || v > 255)
            return Error(ErrorKind::InvalidPolicy,
                         "container " + std::string(id) + " holds a status that does not fit the kernel record");
    }
    _ContainerPolicy record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.container_id, id.data(), id.size());
    record.global_switch = static_cast<uint8_t>(status);
    record.exec_control = static_cast<uint8_t>(exectl);
    record.network_control = static_cast<uint8_t>(netctl);
    record.file_protection = static_cast<uint8_t>(filectl);
    return record;
}

Status writeKernelRecord(const std::string &path, const _ContainerPolicy &record) {
    constexpr const char *kContext = "write status policy failed";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd)
        return Error::fromErrno("failed open container sys file", errno).context(kContext);
    ssize_t n;
    do {
        n = ::write(fd.get(), &record, sizeof record);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return Error::fromErrno("failed write data to container sys file", errno).context(kContext);
    if (static_cast<size_t>(n) != sizeof record)
        return Error::foreign("wrote " + std::to_string(n) + " of " + std::to_string(sizeof record) + " bytes")
            .context("failed write data to container sys file")
            .context(kContext);
    if (fd.close() != 0)
        return Error::fromErrno("failed write data to container sys file", errno).context(kContext);
    return {};
}

}  // namespace zorva::scene
