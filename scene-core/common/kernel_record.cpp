#include "common/kernel_record.h"

#include "sysutil/lock_file.h"

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
    return vrex::record::makeRecord(id, static_cast<uint8_t>(status), static_cast<uint8_t>(exectl),
                                    static_cast<uint8_t>(netctl), static_cast<uint8_t>(filectl));
}

Status writeKernelRecord(const std::string &path, const _ContainerPolicy &record) {
    constexpr const char *kContext = "write status policy failed";
    constexpr const char *kWriteFailed = "failed write data to container sys file";
    vrex::record::KernelWrite sent = vrex::record::writeToKernel(path.c_str(), &record, sizeof record);
    switch (sent.failed) {
    case vrex::record::KernelStep::Open:
        return Error::fromErrno("failed open container sys file", sent.err).context(kContext);
    case vrex::record::KernelStep::Write:
        return Error::fromErrno(kWriteFailed, sent.err).context(kContext);
    case vrex::record::KernelStep::None:
    case vrex::record::KernelStep::Close:
        break;
    }
    if (sent.accepted != sizeof record)
        return Error::foreign("wrote " + std::to_string(sent.accepted) + " of " + std::to_string(sizeof record) +
                              " bytes")
            .context(kWriteFailed)
            .context(kContext);
    if (sent.failed == vrex::record::KernelStep::Close)
        return Error::fromErrno(kWriteFailed, sent.err).context(kContext);
    return {};
}

Result<KernelTableLock> KernelTableLock::acquire(const std::string &path) {
    vrex::sys::UniqueFd fd;
    if (!path.empty()) {
        vrex::sys::LockResult locked = vrex::sys::lockPrivateFile(path, fd);
        if (!locked.ok())
            return Error::foreign(vrex::sys::lockFailureText(path, locked))
                .context("failed to lock the kernel policy table");
    }
    return KernelTableLock(std::move(fd));
}

}  // namespace zorva::scene
