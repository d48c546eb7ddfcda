// The follower's test fixture, shared by its suites: a LogReader on a file in
// a fresh directory, run with either backend, its lines collected and its
// diagnostics kept.
#pragma once

#include "log_reader.h"
#include "test_util.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vrex {

using namespace std::chrono_literals;
using testing::appendText;
using testing::writeAllTo;
using Lines = std::vector<std::string>;

class Collector {
public:
    void add(std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
        cv_.notify_all();
    }
    // Waits until at least n lines arrived; returns all of them.
    Lines waitFor(std::size_t n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, limit, [&] { return lines_.size() >= n; });
        return lines_;
    }
    Lines lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    Lines lines_;
};

// Lets the follower see whatever was just done (longer than the poll interval).
inline void settle() { std::this_thread::sleep_for(150ms); }

class ReaderTest : public ::testing::TestWithParam<LogReader::Backend> {
protected:
    std::unique_ptr<LogReader> startReader(LogReader::Options options = {}) {
        options.backend = GetParam();
        options.pollInterval = 20ms;
        options.rotationIdle = 300ms;
        options.saveInterval = 100ms;
        options.diagnostics = [this](LogReader::Level level, const std::string &message) {
            std::lock_guard lock(diagMutex_);
            diagnostics_.push_back({level, message});
        };
        if (options.maxRead == kMaxReadBytes)
            options.maxRead = maxRead_;
        auto reader = std::make_unique<LogReader>(
            path_,
            [this](std::string_view l) {
                if (takeLine_)
                    return takeLine_(l);
                got_.add(l);
                return true;
            },
            options);
        std::string error;
        EXPECT_TRUE(reader->start(&error)) << error;
        EXPECT_STREQ(reader->backendName(), GetParam() == LogReader::Backend::Polling ? "polling" : "inotify");
        return reader;
    }
    bool diagnosed(LogReader::Level level, const std::string &fragment) {
        std::lock_guard lock(diagMutex_);
        for (auto &[l, m] : diagnostics_)
            if (l == level && m.find(fragment) != std::string::npos)
                return true;
        return false;
    }
    static FilePosition positionOf(const std::string &path, std::uint64_t offset) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), offset};
    }

    testing::TempDir dir_;
    std::string path_ = dir_.file("audit.log");
    std::string positionPath_ = dir_.file("position");
    std::size_t maxRead_ = kMaxReadBytes;
    Collector got_;
    // When set, lines go here instead of to got_.
    LogReader::LineCallback takeLine_;
    std::mutex diagMutex_;
    std::vector<std::pair<LogReader::Level, std::string>> diagnostics_;
};

// A position in the form older versions wrote (no fingerprint).
inline SavedPosition olderForm(FilePosition position) { return {position, std::nullopt, std::nullopt}; }

inline std::string backendName(const ::testing::TestParamInfo<LogReader::Backend> &info) {
    return info.param == LogReader::Backend::Polling ? std::string("Polling") : std::string("Inotify");
}

}  // namespace vrex
