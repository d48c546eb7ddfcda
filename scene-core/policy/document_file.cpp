#include "policy/document_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_read.h"
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

Result<std::string> readDocumentBytes(const std::string &path) { return readRegularFile(path, kMaxDocumentBytes); }

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
