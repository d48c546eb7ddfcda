// Reading, crash-safe saving and locking of the scene policy document file.
#pragma once

#include <cstddef>
#include <string>

#include "common/error.h"
#include "policy/policy.h"
#include "sysutil/unique_fd.h"

namespace zorva::scene {

// Documents larger than this are refused rather than read into memory.
inline constexpr size_t kMaxDocumentBytes = 32u * 1024 * 1024;

// The whole content of a regular file of at most kMaxDocumentBytes; anything
// else at the path (a FIFO, a device) is refused without blocking.
Result<std::string> readDocumentBytes(const std::string &path);
// Reads and parses the document.
Result<Policy> loadPolicy(const std::string &path);
// Replaces the document: a temporary file in the same directory is written,
// flushed to disk and renamed over it, then the directory is flushed. The
// document keeps its mode (a new one gets 0644). On any failure the
// temporary file is removed and the old document stays as it was.
Status savePolicy(const std::string &path, const Policy &policy);
// Writes `bytes` to `path` the same crash-safe way.
Status replaceFileAtomically(const std::string &path, const std::string &bytes);
// Removes the temporary files that writers killed during a save left beside
// the document (vrex::sys::sweepStaleTemporaries). Call it only while holding
// the DocumentLock, so that no live save's file is taken.
void removeStaleTemporaryFiles(const std::string &path);

// An exclusive lock on the document's directory, held for one
// load-change-save cycle so that concurrent callers in several processes do
// not lose each other's changes. The directory is locked rather than the
// file because the file is replaced on every save.
class DocumentLock {
public:
    static Result<DocumentLock> acquire(const std::string &documentPath);

private:
    explicit DocumentLock(vrex::sys::UniqueFd fd) : fd_(std::move(fd)) {}
    vrex::sys::UniqueFd fd_;  // closing it releases the lock
};

}  // namespace zorva::scene
