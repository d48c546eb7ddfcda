#include "output_replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vrex {

bool OutputReplay::openSegment(const std::string &path, Segment *segment) {
    // Not blocking: a FIFO at the output's name must not hold the start up.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    segment->fd = std::move(fd);
    segment->device = static_cast<std::uint64_t>(st.st_dev);
    segment->inode = static_cast<std::uint64_t>(st.st_ino);
    segment->end = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::string OutputReplay::begin(const OutputMark &mark, const std::string &outputPath) {
    segments_.clear();
    held_ = 0;
    Segment atPath;
    const bool havePath = openSegment(outputPath, &atPath);
    Segment saved;
    std::string where = outputPath;
    if (havePath && atPath.device == mark.device && atPath.inode == mark.inode) {
        saved = std::move(atPath);
    } else {
        std::string ignored;
        auto found = findSavedFile(outputPath, mark.device, mark.inode, &ignored);
        if (!found || !openSegment(*found, &saved) || saved.device != mark.device || saved.inode != mark.inode)
            return "the output log it was written to is gone (rotated out of reach): the events of the lines after "
                   "the saved position are written again";
        where = *found;
    }
    if (saved.end < mark.size)
        return where + " is shorter than when the position was saved (truncated): the events of the lines after "
                       "the saved position are written again";
    saved.offset = mark.size;
    segments_.push_back(std::move(saved));
    // Rotated: the crashed run may have gone on in the new file.
    if (havePath && !(atPath.device == mark.device && atPath.inode == mark.inode))
        segments_.push_back(std::move(atPath));
    return "events already in " + where + " after offset " + std::to_string(mark.size) +
           (segments_.size() > 1 ? " (and in " + outputPath + ")" : std::string()) + " are not written again";
}

OutputReplay::Match OutputReplay::compare(std::string_view event) {
    while (!segments_.empty() && segments_.front().offset >= segments_.front().end)
        segments_.pop_front();
    if (segments_.empty())
        return Match::NotHeld;
    Segment &s = segments_.front();
    const std::size_t want = event.size() + 1;
    const std::uint64_t available = s.end - s.offset;
    const std::size_t length = available < want ? static_cast<std::size_t>(available) : want;
    bytes_.resize(length);
    std::size_t got = 0;
    while (got < length) {
        ssize_t n = ::pread(s.fd.get(), bytes_.data() + got, length - got, static_cast<off_t>(s.offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    bytes_.resize(got);
    const std::string_view have(bytes_);
    if (got == want && have.substr(0, event.size()) == event && have.back() == '\n') {
        s.offset += want;
        ++held_;
        return Match::Held;
    }
    // The file ends in the start of this event, with no newline: the crashed
    // run was killed in the middle of writing it.
    if (got == available && got < want && have == event.substr(0, got) && have.find('\n') == std::string_view::npos) {
        fragment_ = {s.device, s.inode, s.offset};
        segments_.clear();
        return Match::Fragment;
    }
    segments_.clear();
    return Match::NotHeld;
}

bool OutputReplay::exhausted() const {
    return std::all_of(segments_.begin(), segments_.end(), [](const Segment &s) { return s.offset >= s.end; });
}

bool OutputReplay::mark(OutputMark *mark) const {
    if (segments_.empty())
        return false;
    const Segment &s = segments_.front();
    *mark = {s.device, s.inode, s.offset};
    return true;
}

}  // namespace vrex
