#include "own_logs.h"

#include "config.h"
#include "log_writer.h"
#include "logger.h"
#include "sys_util.h"

namespace vrex {

namespace {

bool sameFile(const std::string &a, const std::string &b) {
    if (resolvedPath(a) == resolvedPath(b))
        return true;
    auto idA = fileIdOf(a);
    auto idB = fileIdOf(b);
    return idA && idB && *idA == *idB;
}

}  // namespace

std::string OwnLog::describe() const {
    switch (kind) {
    case Diagnostic:
        return "the diagnostic log " + path;
    case Output:
        return "the output log " + path;
    case None:
        break;
    }
    return {};
}

OwnLog ownLogNamedBy(const std::string &input, const std::string &outputLog) {
    if (sameFile(input, kDiagnosticLogPath))
        return {OwnLog::Diagnostic, kDiagnosticLogPath};
    if (sameFile(input, outputLog))
        return {OwnLog::Output, outputLog};
    return {};
}

OwnLog ownLogWithId(std::uint64_t device, std::uint64_t inode, const std::string &outputLog, const LogWriter *writer) {
    const FileId id{device, inode};
    const auto dev = static_cast<dev_t>(device);
    const auto ino = static_cast<ino_t>(inode);
    if (fileIdOf(kDiagnosticLogPath) == id || Logger::getInstance().writesTo(dev, ino))
        return {OwnLog::Diagnostic, kDiagnosticLogPath};
    if (fileIdOf(outputLog) == id || (writer && writer->writesTo(dev, ino)))
        return {OwnLog::Output, outputLog};
    return {};
}

}  // namespace vrex
