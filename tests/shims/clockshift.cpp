// Test shim, loaded with LD_PRELOAD into the agent: moves the wall clock
// (CLOCK_REALTIME, time, gettimeofday) by the number of seconds written in
// the file that TEV_CLOCK_SHIFT_FILE names, read at every call, so a test
// can step the wall clock of a running agent. The monotonic clock is left
// alone. Not part of the agent.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace {

long Shift() {
    static const char* path = std::getenv("TEV_CLOCK_SHIFT_FILE");
    if (!path) return 0;
    const int fd = int(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) return 0;
    char buf[32] = {0};
    const long n = long(syscall(SYS_read, fd, buf, sizeof buf - 1));
    syscall(SYS_close, fd);
    return n > 0 ? std::strtol(buf, nullptr, 10) : 0;
}

using ClockGettime = int (*)(clockid_t, struct timespec*);

ClockGettime Real() {
    static ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
    const int rc = Real()(id, ts);
    if (rc == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) ts->tv_sec += Shift();
    return rc;
}

extern "C" time_t time(time_t* out) {
    struct timespec ts;
    Real()(CLOCK_REALTIME, &ts);
    const time_t now = ts.tv_sec + Shift();
    if (out) *out = now;
    return now;
}

extern "C" int gettimeofday(struct timeval* tv, void*) {
    struct timespec ts;
    Real()(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec + Shift();
    tv->tv_usec = suseconds_t(ts.tv_nsec / 1000);
    return 0;
}
