#include "platform/childreaper.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/threadsafety.h"

namespace {

struct TPendingChild {
    pid_t pid;
    int pidfd;
};

// State shared by ReapLater and the reaper thread. Allocated once and never
// destroyed, so the thread may outlive static destruction at exit.
struct TReaperState {
    TMutex reaper_mutex;
    std::vector<TPendingChild> children TEV_GUARDED_BY(reaper_mutex);
    bool started TEV_GUARDED_BY(reaper_mutex) = false;
    // Written once under reaper_mutex before the thread starts; read by the
    // thread without it (the thread's start orders the write before).
    int wake[2] = {-1, -1};
};

TReaperState& State() {
    static TReaperState* state = new TReaperState;
    return *state;
}

// Collects the children that have ended; returns true when one still has
// no pid descriptor (then the thread must look again on its own).
bool ReapEnded(TReaperState& st) {
    TLock lock(st.reaper_mutex);
    bool blind = false;
    for (size_t i = 0; i < st.children.size();) {
        int status = 0;
        const pid_t r = waitpid(st.children[i].pid, &status, WNOHANG);
        if (r == st.children[i].pid || (r < 0 && errno == ECHILD)) {
            if (st.children[i].pidfd >= 0) close(st.children[i].pidfd);
            st.children[i] = st.children.back();
            st.children.pop_back();
            continue;
        }
        if (st.children[i].pidfd < 0) blind = true;
        i++;
    }
    return blind;
}

void* ReaperMain(void*) {
    TReaperState& st = State();
    std::vector<pollfd> fds;
    for (;;) {
        const bool blind = ReapEnded(st);
        fds.clear();
        fds.push_back({st.wake[0], POLLIN, 0});
        {
            TLock lock(st.reaper_mutex);
            for (const TPendingChild& c : st.children)
                if (c.pidfd >= 0) fds.push_back({c.pidfd, POLLIN, 0});
        }
        // Without pid descriptors the end of a child is no event: look once
        // a second. Otherwise sleep until a child ends or a new one arrives.
        if (poll(fds.data(), fds.size(), blind ? 1000 : -1) > 0 && fds[0].revents) {
            char buf[64];
            while (read(st.wake[0], buf, sizeof buf) > 0) {
            }
        }
    }
    return nullptr;
}

// Starts the thread once; returns false when it could not be started (the
// next hand-over tries again).
bool StartLocked(TReaperState& st) TEV_REQUIRES(st.reaper_mutex) {
    if (st.started) return true;
    if (st.wake[0] < 0 && pipe2(st.wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t thread;
    st.started = pthread_create(&thread, &attr, ReaperMain, nullptr) == 0;
    pthread_attr_destroy(&attr);
    return st.started;
}

// The parent pid of process pid from /proc/<pid>/stat, or -1. The command
// name in parentheses may hold any bytes, so the fields are counted from
// the last ')'.
pid_t ParentOf(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[1024];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return -1;
    buf[n] = '\0';
    const char* paren = strrchr(buf, ')');
    int ppid = -1;
    char state = 0;
    if (paren == nullptr || sscanf(paren + 1, " %c %d", &state, &ppid) != 2) return -1;
    return pid_t(ppid);
}

}  // namespace

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

int AdoptInheritedChildren() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    const pid_t self = getpid();
    int adopted = 0;
    while (struct dirent* e = readdir(proc)) {
        char* end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || ParentOf(pid_t(pid)) != self) continue;
        ReapLater(pid_t(pid), PidfdOpen(pid_t(pid)));
        adopted++;
    }
    closedir(proc);
    return adopted;
}

void ReapLater(pid_t pid, int pidfd) {
    TReaperState& st = State();
    TLock lock(st.reaper_mutex);
    st.children.push_back({pid, pidfd});
    if (StartLocked(st)) {
        const char one = 1;
        const ssize_t ignored = write(st.wake[1], &one, 1);
        (void)ignored;
    }
}

int PendingReaps() {
    TReaperState& st = State();
    TLock lock(st.reaper_mutex);
    return int(st.children.size());
}
