#include "signal_storm.h"

#include <pthread.h>
#include <sys/time.h>

namespace vrex::testing {

namespace {

std::atomic<int> signalsSeen{0};
void countSignal(int) { ++signalsSeen; }

void maskAlarm(int how) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    ::pthread_sigmask(how, &set, nullptr);
}

}  // namespace

SignalStorm::SignalStorm(long micros) {
    signalsSeen = 0;
    struct sigaction sa {};
    sa.sa_handler = countSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ::sigaction(SIGALRM, &sa, &old_);
    struct itimerval every {
        {0, micros}, { 0, micros }
    };
    ::setitimer(ITIMER_REAL, &every, nullptr);
}

SignalStorm::~SignalStorm() {
    struct itimerval off {};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &old_, nullptr);
}

int SignalStorm::seen() { return signalsSeen.load(); }

void blockAlarm() { maskAlarm(SIG_BLOCK); }
void unblockAlarm() { maskAlarm(SIG_UNBLOCK); }

}  // namespace vrex::testing
