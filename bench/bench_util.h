// Small helpers the stand-alone benchmark tools share.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>

namespace bench {

// Monotonic clock in seconds.
inline double NowSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Raises the soft descriptor limit towards wanted (never above the hard one).
inline void RaiseFileLimit(long wanted) {
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return;
    if (rlim_t(wanted) <= r.rlim_cur) return;
    r.rlim_cur =
        r.rlim_max == RLIM_INFINITY ? rlim_t(wanted) : std::min(rlim_t(wanted), r.rlim_max);
    setrlimit(RLIMIT_NOFILE, &r);
}

}  // namespace bench
