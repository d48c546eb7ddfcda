// Readers of a FIFO standing in for the kernel status file, so that a test
// sees each write the code under test makes on its own.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vrex::testing {

// Opens the FIFO for reading (waiting for a writer) and returns what each
// read returned until the writer closes it. Each read returns what one write
// put in (writes of at most 4096 bytes are atomic). Run it on a thread of its
// own (std::async) before the writer starts.
std::vector<std::string> readFifoSession(const std::string &path);

// Reads the FIFO from a thread blocked in poll, across any number of writers
// that open and close it, so that every write lands in a read of its own.
// Holding the FIFO open for writing too keeps it from reporting end-of-file
// between the writers' opens.
class FifoReader {
public:
    explicit FifoReader(const std::string &path);
    ~FifoReader();
    FifoReader(const FifoReader &) = delete;
    FifoReader &operator=(const FifoReader &) = delete;

    bool ok() const { return fd_ >= 0; }
    // Stops reading (after draining) and returns every read's bytes.
    std::vector<std::string> chunks();

private:
    void loop();
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::string> chunks_;
};

}  // namespace vrex::testing
