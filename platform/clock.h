// The one clock of every deadline, idle limit and elapsed time in the agent.
//
// CLOCK_MONOTONIC never steps: an NTP correction, an operator's `date -s`
// or a resumed virtual machine moves the wall clock, not this one, so a
// limit of four seconds stays four seconds. The wall clock (time,
// CLOCK_REALTIME) is read only where a date is printed or stored: log
// lines, file ages, the times GetInfo and the file tests report.
#pragma once

#include <time.h>

// Milliseconds of CLOCK_MONOTONIC since an arbitrary start (boot). Only
// differences mean anything. Any thread; async-signal-safe.
inline long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
