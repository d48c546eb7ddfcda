// Warnings about hostile records, limited so that a flood of them cannot
// flood the diagnostic log: at most a few of one kind per minute, and the
// next one after a held-back spell says how many were held back.
#pragma once

#include <chrono>
#include <cstdint>

namespace vrex {

class WarningLimit {
public:
    static constexpr int kPerWindow = 5;
    static constexpr std::chrono::seconds kWindow{60};

    // True when a warning may be written now; then *held is how many were
    // held back since the last one written.
    bool allow(std::uint64_t *held) {
        const auto now = std::chrono::steady_clock::now();
        if (!started_ || now - windowStart_ >= kWindow) {
            started_ = true;
            windowStart_ = now;
            inWindow_ = 0;
        }
        if (inWindow_ >= kPerWindow) {
            ++held_;
            return false;
        }
        ++inWindow_;
        *held = held_;
        held_ = 0;
        return true;
    }

private:
    std::chrono::steady_clock::time_point windowStart_{};
    bool started_ = false;
    int inWindow_ = 0;
    std::uint64_t held_ = 0;
};

}  // namespace vrex
