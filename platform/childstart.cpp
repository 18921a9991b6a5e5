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

// The child's system calls, made directly: a call through the library
// would go through its link table, and in a dynamically linked program
// whose table is bound lazily the first call would run the dynamic
// loader's binding in the child, on the borrowed stack and in memory it
// shares with the caller. Each returns the kernel's result: -errno on
// failure.
#if defined(__x86_64__)
long Sys6(long nr, long a, long b, long c, long d, long e, long f) {
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    long ret;
    __asm__ volatile("syscall"
                     : "=a"(ret)
                     : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return ret;
}
#elif defined(__aarch64__)
long Sys6(long nr, long a, long b, long c, long d, long e, long f) {
    register long x8 __asm__("x8") = nr;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    register long x4 __asm__("x4") = e;
    register long x5 __asm__("x5") = f;
    __asm__ volatile("svc 0"
                     : "+r"(x0)
                     : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                     : "memory");
    return x0;
}
#else
// Elsewhere through the library's syscall(), which the program's immediate
// binding (-z now) has resolved before any child exists; errno is the
// caller's thread's, which waits meanwhile.
long Sys6(long nr, long a, long b, long c, long d, long e, long f) {
    const long r = syscall(nr, a, b, c, d, e, f);
    return r == -1 ? -errno : r;
}
#endif

template <typename A = long, typename B = long, typename C = long, typename D = long>
long Sys(long nr, A a = 0, B b = 0, C c = 0, D d = 0) {
    return Sys6(nr, (long)a, (long)b, (long)c, (long)d, 0, 0);
}

// True for a result of Sys that is a failure.
bool Failed(long r) {
    return r < 0 && r > -4096;
}

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

// Read-only data, so that the child fills no structure of its own (which a
// compiler may do by a call to memset).
const TKernelSigaction kDefaultAction = {};
const unsigned long long kEmptyMask[4] = {};

// What the child reads (the plan) and writes (its error) in the caller's
// memory.
struct TChildRun {
    const TStartPlan* plan;
    volatile int error;
    volatile int path;  // the index in Paths whose exec failed, or -1
};

// Hands the error number err to the caller and ends the child.
[[noreturn]] void ChildFails(TChildRun& run, int err) {
    run.error = err != 0 ? err : ENOENT;
    for (;;) Sys(SYS_exit_group, 127);
}

// Puts Source[target] (or "/dev/null") at target; 0 or -errno.
long PlaceFd(const TStartPlan& p, int target) {
    long fd = p.Source[target];
    if (fd >= 0) {
        const long placed = Sys(SYS_dup3, fd, target, 0);
        return Failed(placed) ? placed : 0;
    }
    if (target >= 3) return 0;
    fd = Sys(SYS_openat, AT_FDCWD, "/dev/null", p.OpenMode[target]);
    if (Failed(fd)) return fd;
    // The lowest free number may be the very one wanted.
    if (fd == target) return 0;
    const long placed = Sys(SYS_dup3, fd, target, 0);
    Sys(SYS_close, fd);
    return Failed(placed) ? placed : 0;
}

// True for the exec failures after which execvp tries the next directory.
bool TryNext(int err) {
    return err == EACCES || err == ENOENT || err == ESTALE || err == ENOTDIR || err == ENODEV ||
           err == ETIMEDOUT;
}

// Closes every descriptor from First up, by direct system calls only:
// close_range, or on a kernel without it (before 5.9) the numbers read from
// /proc/self/fd, read again from the start after each batch since closing
// changes the listing. Without /proc the descriptors stay (each of ours is
// close-on-exec anyway).
void CloseFrom(int First) {
#ifdef SYS_close_range
    if (Sys(SYS_close_range, First, ~0U, 0) == 0) return;
#endif
    const long dir = Sys(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Failed(dir)) return;
    alignas(8) char buf[1024];
    for (;;) {
        const long n = Sys(SYS_getdents64, dir, buf, sizeof buf);
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
            Sys(SYS_close, fd);
            closed = true;
        }
        if (closed) Sys(SYS_lseek, dir, 0, SEEK_SET);
    }
    Sys(SYS_close, dir);
}

// The child, from its creation to exec: direct system calls only (no
// library function, no errno).
int ChildMain(void* arg) {
    TChildRun& run = *static_cast<TChildRun*>(arg);
    const TStartPlan& p = *run.plan;
    for (int sig = 1; sig <= 64; sig++)
        if ((p.ResetSignals >> (sig - 1)) & 1)
            Sys(SYS_rt_sigaction, sig, &kDefaultAction, nullptr, kSigsetBytes);
    long r = Sys(SYS_setsid);
    if (Failed(r)) ChildFails(run, int(-r));
    if (p.DirFd >= 0 && Failed(r = Sys(SYS_fchdir, p.DirFd))) ChildFails(run, int(-r));
    for (int target = 0; target < kPlannedFds; target++)
        if (Failed(r = PlaceFd(p, target))) ChildFails(run, int(-r));
    // Everything of the agent is close-on-exec already; this also covers
    // descriptors a library may have opened without the flag.
    CloseFrom(p.Source[3] >= 0 ? 4 : 3);
    Sys(SYS_rt_sigprocmask, SIG_SETMASK, kEmptyMask, nullptr, kSigsetBytes);
    int err = ENOENT;
    bool denied = false;
    for (int n = 0; p.Paths[n] != nullptr; n++) {
        err = int(-Sys(SYS_execve, p.Paths[n], p.Argv, p.Envp));
        if (!TryNext(err)) {
            run.path = n;
            ChildFails(run, err);
        }
        if (err == EACCES) denied = true;
    }
    ChildFails(run, denied ? EACCES : err);
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

int StartPlannedChild(const TStartPlan& Plan, pid_t& Pid, int& PidFd, int* FailedPath) {
    alignas(64) char stack[kChildStackBytes];
    TChildRun run = {&Plan, 0, -1};
    if (FailedPath != nullptr) *FailedPath = -1;
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
        if (FailedPath != nullptr) *FailedPath = run.path;
        return run.error;
    }
    Pid = pid;
    PidFd = pidfd;
    return 0;
}
