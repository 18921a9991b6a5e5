// Built without sanitizer instrumentation (see CMakeLists.txt): the child
// runs on the caller's thread state until it execs, and a sanitizer's
// bookkeeping done there would land in the caller's.
#include "platform/childstart.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#ifdef __GLIBC__
// glibc's own name for clone(). The thread sanitizer's runtime takes
// clone() for a fork and does a forked child's bookkeeping in the child,
// which here would land in the caller's memory; under this name the call
// reaches the library directly.
extern "C" int __clone(int (*fn)(void*), void* stack, int flags, void* arg, ...);
#define TEV_CLONE __clone
#else
#define TEV_CLONE clone
#endif

namespace {

// The size of the kernel's signal set, the last argument of the signal
// system calls.
const long kSigsetBytes = _NSIG / 8;

// The kernel's struct sigaction, with room to spare. All zero is the
// default action with no flags and an empty mask whatever the order of the
// fields on the architecture.
struct TKernelSigaction {
    void* handler;
    unsigned long flags;
    void* restorer;
    unsigned long long mask[4];
};

// What the child reads (the plan) and writes (its error) in the caller's
// memory.
struct TChildRun {
    const TStartPlan* plan;
    volatile int error;
};

// Hands errno to the caller and ends the child.
[[noreturn]] void ChildFails(TChildRun& run) {
    run.error = errno != 0 ? errno : ENOENT;
    for (;;) syscall(SYS_exit_group, 127);
}

// Puts Source[target] (or "/dev/null") at target; false with errno set.
bool PlaceFd(const TStartPlan& p, int target) {
    int fd = p.Source[target];
    if (fd >= 0) return syscall(SYS_dup3, fd, target, 0) >= 0;
    if (target >= 3) return true;
    fd = int(syscall(SYS_openat, AT_FDCWD, "/dev/null", p.OpenMode[target]));
    if (fd < 0) return false;
    // The lowest free number may be the very one wanted.
    if (fd == target) return true;
    const bool placed = syscall(SYS_dup3, fd, target, 0) >= 0;
    syscall(SYS_close, fd);
    return placed;
}

// True for the exec failures after which execvp tries the next directory.
bool TryNext(int err) {
    return err == EACCES || err == ENOENT || err == ESTALE || err == ENOTDIR || err == ENODEV ||
           err == ETIMEDOUT;
}

// Closes every descriptor from First up, by system calls only: close_range,
// or on a kernel without it (before 5.9) the numbers read from
// /proc/self/fd, read again from the start after each batch since closing
// changes the listing. Without /proc the descriptors stay (each of ours is
// close-on-exec anyway).
void CloseFrom(int First) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, First, ~0U, 0) == 0) return;
#endif
    const int dir =
        int(syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir < 0) return;
    alignas(8) char buf[1024];
    for (;;) {
        const long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
        if (n <= 0) break;
        bool closed = false;
        for (long at = 0; at < n;) {
            const struct TDirent {
                unsigned long long ino;
                long long off;
                unsigned short reclen;
                unsigned char type;
                char name[1];
            }* d = reinterpret_cast<const TDirent*>(buf + at);
            at += d->reclen;
            int fd = 0;
            const char* c = d->name;
            if (*c < '0' || *c > '9') continue;
            for (; *c >= '0' && *c <= '9'; c++) fd = fd * 10 + (*c - '0');
            if (fd < First || fd == dir) continue;
            syscall(SYS_close, fd);
            closed = true;
        }
        if (closed) syscall(SYS_lseek, dir, 0, SEEK_SET);
    }
    syscall(SYS_close, dir);
}

// The child, from its creation to exec: system calls only (the library's
// wrappers would keep state of the caller's thread, errno aside).
int ChildMain(void* arg) {
    TChildRun& run = *static_cast<TChildRun*>(arg);
    const TStartPlan& p = *run.plan;
    const TKernelSigaction dfl = {};
    for (int sig = 1; sig <= 64; sig++)
        if ((p.ResetSignals >> (sig - 1)) & 1)
            syscall(SYS_rt_sigaction, sig, &dfl, nullptr, kSigsetBytes);
    if (syscall(SYS_setsid) < 0) ChildFails(run);
    if (p.DirFd >= 0 && syscall(SYS_fchdir, p.DirFd) != 0) ChildFails(run);
    for (int target = 0; target < kPlannedFds; target++)
        if (!PlaceFd(p, target)) ChildFails(run);
    // Everything of the agent is close-on-exec already; this also covers
    // descriptors a library may have opened without the flag.
    CloseFrom(p.Source[3] >= 0 ? 4 : 3);
    const unsigned long long none[4] = {};
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, none, nullptr, kSigsetBytes);
    errno = ENOENT;
    bool denied = false;
    for (const char* const* file = p.Paths; *file != nullptr; file++) {
        syscall(SYS_execve, *file, p.Argv, p.Envp);
        if (!TryNext(errno)) ChildFails(run);
        if (errno == EACCES) denied = true;
    }
    if (denied) errno = EACCES;
    ChildFails(run);
}

// Value of the hexadecimal field Key (e.g. "SigIgn:") in the status text.
bool StatusMask(const char* text, const char* key, unsigned long long& mask) {
    const char* at = strstr(text, key);
    if (at == nullptr) return false;
    char* end = nullptr;
    mask = strtoull(at + strlen(key), &end, 16);
    return end != at + strlen(key);
}

}  // namespace

unsigned long long NonDefaultSignals() {
    unsigned long long all = ~0ULL;
    all &= ~(1ULL << (SIGKILL - 1));
    all &= ~(1ULL << (SIGSTOP - 1));
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return all;
    char text[8192];
    size_t used = 0;
    for (;;) {
        const ssize_t n = read(fd, text + used, sizeof text - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += size_t(n);
        if (used == sizeof text - 1) break;
    }
    close(fd);
    text[used] = '\0';
    unsigned long long ignored = 0, caught = 0;
    if (!StatusMask(text, "\nSigIgn:", ignored) || !StatusMask(text, "\nSigCgt:", caught))
        return all;
    return (ignored | caught) & all;
}

int StartPlannedChild(const TStartPlan& Plan, pid_t& Pid, int& PidFd) {
    alignas(64) char stack[kChildStackBytes];
    TChildRun run = {&Plan, 0};
    // Blocked until the child has set its signals up: a handler of the
    // agent must not run on the child's borrowed stack.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int pidfd = -1;
    const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD;
    pid_t pid = TEV_CLONE(ChildMain, stack + sizeof stack, flags | CLONE_PIDFD, &run, &pidfd);
    if (pid < 0 && errno == EINVAL) {
        pidfd = -1;
        pid = TEV_CLONE(ChildMain, stack + sizeof stack, flags, &run);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) return EAGAIN;
    if (run.error != 0) {
        // It has ended already (its exit released the caller): collect it.
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (pidfd >= 0) close(pidfd);
        return run.error;
    }
    Pid = pid;
    PidFd = pidfd;
    return 0;
}
