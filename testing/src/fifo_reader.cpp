#include "fifo_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace vrex::testing {

std::vector<std::string> readFifoSession(const std::string &path) {
    std::vector<std::string> reads;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return reads;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        reads.emplace_back(buf, static_cast<size_t>(n));
    ::close(fd);
    return reads;
}

FifoReader::FifoReader(const std::string &path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0)
        thread_ = std::thread([this] { loop(); });
}

FifoReader::~FifoReader() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        ::close(fd_);
}

std::vector<std::string> FifoReader::chunks() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    return chunks_;
}

void FifoReader::loop() {
    char buf[65536];
    while (true) {
        pollfd p{fd_, POLLIN, 0};
        int n = ::poll(&p, 1, 50);
        if (n > 0) {
            ssize_t got = ::read(fd_, buf, sizeof buf);
            if (got > 0)
                chunks_.emplace_back(buf, static_cast<size_t>(got));
        } else if (stop_) {
            return;
        }
    }
}

}  // namespace vrex::testing
