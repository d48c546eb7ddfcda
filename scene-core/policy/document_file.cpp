#include "policy/document_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <memory>
#include <string_view>

namespace zorva::scene {

namespace {

std::string directoryOf(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

Status writeAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Error::fromErrno("write", errno);
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

}  // namespace

Result<std::string> readDocumentBytes(const std::string &path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return Error::fromErrno("open", errno).context("failed to read " + path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return Error::fromErrno("fstat", errno).context("failed to read " + path);
    if (!S_ISREG(st.st_mode))
        return Error::foreign("not a regular file").context("failed to read " + path);
    if (static_cast<unsigned long long>(st.st_size) > kMaxDocumentBytes)
        return Error::foreign("larger than " + std::to_string(kMaxDocumentBytes) + " bytes")
            .context("failed to read " + path);
    std::string bytes;
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    // Read to the end even if the file grew or shrank since fstat, within the cap.
    for (;;) {
        if (done == bytes.size()) {
            if (bytes.size() >= kMaxDocumentBytes + 1)
                return Error::foreign("larger than " + std::to_string(kMaxDocumentBytes) + " bytes")
                    .context("failed to read " + path);
            bytes.resize(std::min(bytes.size() + 4096, kMaxDocumentBytes + 1));
        }
        ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Error::fromErrno("read", errno).context("failed to read " + path);
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

Result<Policy> loadPolicy(const std::string &path) {
    auto bytes = readDocumentBytes(path);
    if (!bytes)
        return std::move(bytes.error());
    return parsePolicy(bytes.value());
}

Status replaceFileAtomically(const std::string &path, const std::string &bytes) {
    const std::string context = "failed to save " + path;
    const std::string dir = directoryOf(path);
    std::string tmp = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd)
        return Error::fromErrno("create temporary file", errno).context(context);

    // Keep the permissions of the document being replaced (mkostemp gives 0600).
    mode_t mode = 0644;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0)
        mode = old.st_mode & 07777;

    auto fail = [&](Error e) {
        ::unlink(tmp.c_str());
        return std::move(e).context(context);
    };
    if (::fchmod(fd.get(), mode) != 0)
        return fail(Error::fromErrno("fchmod", errno));
    if (auto st = writeAll(fd.get(), bytes); !st)
        return fail(std::move(st.error()));
    if (::fsync(fd.get()) != 0)
        return fail(Error::fromErrno("fsync", errno));
    if (fd.close() != 0)
        return fail(Error::fromErrno("close", errno));
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return fail(Error::fromErrno("rename", errno));

    // The rename is durable only once the directory is flushed.
    UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd)
        return Error::fromErrno("open directory", errno).context(context);
    if (::fsync(dirFd.get()) != 0)
        return Error::fromErrno("fsync directory", errno).context(context);
    return {};
}

void removeStaleTemporaryFiles(const std::string &path) {
    const std::string dir = directoryOf(path);
    const auto slash = path.rfind('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    constexpr size_t kSuffix = 6;  // the XXXXXX of mkostemp
    std::unique_ptr<DIR, int (*)(DIR *)> d(::opendir(dir.c_str()), &::closedir);
    if (!d)
        return;
    while (const struct dirent *e = ::readdir(d.get())) {
        std::string_view name(e->d_name);
        if (name.size() != prefix.size() + kSuffix || !name.starts_with(prefix))
            continue;
        bool generated = true;
        for (char c : name.substr(prefix.size()))
            generated = generated && std::isalnum(static_cast<unsigned char>(c));
        struct stat st {};
        if (generated && ::fstatat(::dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(::dirfd(d.get()), e->d_name, 0);
    }
}

Status savePolicy(const std::string &path, const Policy &policy) {
    auto text = dumpPolicy(policy);
    if (!text)
        return std::move(text.error());
    return replaceFileAtomically(path, text.value());
}

Result<DocumentLock> DocumentLock::acquire(const std::string &documentPath) {
    const std::string dir = directoryOf(documentPath);
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return Error::fromErrno("open", errno).context("failed to lock " + dir);
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return Error::fromErrno("flock", errno).context("failed to lock " + dir);
    }
    return DocumentLock(std::move(fd));
}

}  // namespace zorva::scene
