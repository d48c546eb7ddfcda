#include "policy/pending_mark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sysutil/io.h"
#include "sysutil/path.h"
#include "sysutil/unique_fd.h"

namespace zorva::scene {

namespace {

constexpr char kMarkText[] = "a deployment of the policy text is pending\n";

Error writeFailed(const std::string &what, int err, const std::string &context) {
    return Error(ErrorKind::PolicyFileWriteFailed, vrex::sys::errorText(err)).context(what).context(context);
}

}  // namespace

bool deploymentPending(const std::string &markPath) {
    struct stat st {};
    return ::lstat(markPath.c_str(), &st) == 0 || errno != ENOENT;
}

Status ensurePolicyDirectory(const std::string &dir) {
    if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
        return {};
    return writeFailed("mkdir", errno, "failed to create " + dir);
}

Status markDeploymentPending(const std::string &markPath) {
    const std::string context = "failed to mark a deployment pending in " + markPath;
    const std::string dir = vrex::sys::directoryOf(markPath);
    if (auto made = ensurePolicyDirectory(dir); !made)
        return std::move(made.error()).context(context);
    vrex::sys::UniqueFd fd(::open(markPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd)
        return writeFailed("open", errno, context);
    if (int err = vrex::sys::writeAll(fd.get(), kMarkText, sizeof kMarkText - 1); err != 0)
        return writeFailed("write", err, context);
    if (fd.close() != 0)
        return writeFailed("close", errno, context);
    // The mark counts once its name is on disk; its text is only for the
    // administrator, so the file itself need not be flushed.
    vrex::sys::UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd)
        return writeFailed("open directory", errno, context);
    if (::fsync(dirFd.get()) != 0)
        return writeFailed("fsync directory", errno, context);
    return {};
}

Status clearDeploymentPending(const std::string &markPath) {
    if (::unlink(markPath.c_str()) == 0 || errno == ENOENT)
        return {};
    return writeFailed("unlink", errno, "failed to clear the pending deployment mark " + markPath);
}

}  // namespace zorva::scene
