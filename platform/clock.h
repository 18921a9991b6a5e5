// The one clock of every deadline, idle limit and elapsed time in the agent.
//
// CLOCK_MONOTONIC never steps: an NTP correction, an operator's `date -s`
// or a resumed virtual machine moves the wall clock, not this one, so a
// limit of four seconds stays four seconds. The wall clock (time,
// CLOCK_REALTIME) is read only where a date is printed or stored: log
// lines, file ages, the times GetInfo and the file tests report.
#pragma once

#include <errno.h>
#include <time.h>

// Milliseconds of CLOCK_MONOTONIC since an arbitrary start (boot). Only
// differences mean anything. Any thread; async-signal-safe.
inline long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Sleeps ms milliseconds of CLOCK_MONOTONIC; returns at once for ms <= 0.
// A signal that interrupts the sleep does not shorten it: the sleep runs to
// one deadline fixed at the call, so repeated interruptions cannot stretch
// it either. Any thread; takes no lock and allocates nothing.
inline void SleepMs(long long ms) {
    if (ms <= 0) return;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000);
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
