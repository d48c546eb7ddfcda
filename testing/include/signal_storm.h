// Signals that interrupt blocked system calls, for tests of code that must
// survive them.
#pragma once

#include <signal.h>

#include <atomic>

namespace vrex::testing {

// Interrupts this process with SIGALRM every `micros` microseconds for the
// object's lifetime. The handler is installed without SA_RESTART, so a
// blocked call fails with EINTR (or returns short) when the signal lands on
// its thread; seen() counts the signals handled.
class SignalStorm {
public:
    explicit SignalStorm(long micros);
    ~SignalStorm();
    SignalStorm(const SignalStorm &) = delete;
    SignalStorm &operator=(const SignalStorm &) = delete;

    static int seen();

private:
    struct sigaction old_ {};
};

// Blocks (or unblocks) SIGALRM on the calling thread: helper threads leave
// the signals to the thread under test.
void blockAlarm();
void unblockAlarm();

}  // namespace vrex::testing
