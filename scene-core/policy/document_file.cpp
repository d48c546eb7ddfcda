#include "policy/document_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sysutil/atomic_file.h"
#include "sysutil/io.h"
#include "sysutil/path.h"

namespace zorva::scene {

namespace {

using vrex::sys::ReplaceStep;

// What each failed step of a replacement is called in the error chain.
const char *stepName(ReplaceStep step) {
    switch (step) {
    case ReplaceStep::None:
        break;
    case ReplaceStep::Inspect:
    case ReplaceStep::SymbolicLink:
    case ReplaceStep::NotRegular:
        return "inspect";  // not asked for: the document's path is replaced whatever it holds
    case ReplaceStep::Create:
        return "create temporary file";
    case ReplaceStep::Chmod:
        return "fchmod";
    case ReplaceStep::Write:
        return "write";
    case ReplaceStep::Sync:
        return "fsync";
    case ReplaceStep::Close:
        return "close";
    case ReplaceStep::Rename:
        return "rename";
    case ReplaceStep::OpenDirectory:
        return "open directory";
    case ReplaceStep::SyncDirectory:
        return "fsync directory";
    }
    return "replace";
}

}  // namespace

Result<std::string> readDocumentBytes(const std::string &path) {
    // Non-blocking: a FIFO at the path is refused below instead of waited
    // on, which would hold the document lock for ever.
    vrex::sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
        ssize_t n = vrex::sys::readOnce(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0)
            return Error::fromErrno("read", errno).context("failed to read " + path);
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
    vrex::sys::ReplaceOptions options;
    options.keepExistingMode = true;
    options.mode = 0644;
    vrex::sys::ReplaceResult result = vrex::sys::replaceFile(path, bytes, options);
    if (result.ok())
        return {};
    return Error::fromErrno(stepName(result.failed), result.err).context("failed to save " + path);
}

void removeStaleTemporaryFiles(const std::string &path) { vrex::sys::sweepStaleTemporaries(path); }

Status savePolicy(const std::string &path, const Policy &policy) {
    auto text = dumpPolicy(policy);
    if (!text)
        return std::move(text.error());
    return replaceFileAtomically(path, text.value());
}

Result<DocumentLock> DocumentLock::acquire(const std::string &documentPath) {
    const std::string dir = vrex::sys::directoryOf(documentPath);
    vrex::sys::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return Error::fromErrno("open", errno).context("failed to lock " + dir);
    if (int err = vrex::sys::lockExclusive(fd.get()); err != 0)
        return Error::fromErrno("flock", err).context("failed to lock " + dir);
    return DocumentLock(std::move(fd));
}

}  // namespace zorva::scene
