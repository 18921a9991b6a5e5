#include "agent/pendingset.h"

#include <sys/epoll.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "agent/runflags.h"
#include "agent/session.h"

namespace {

// The listening socket's tag in the epoll set; a pending connection is
// tagged with its descriptor and watched one-shot, so exactly one thread
// takes it.
const uint64_t kListenerTag = ~uint64_t(0);
// The longest wait while connections are pending: an expiry made earlier
// than the others by a settings change is met within it.
const int kPendingCheckMs = 1000;

std::atomic<int> epollFd{-1};  // created once, never closed

struct PendingConn {
    ThreadParams params;
    long long expiryMs;  // given up then, if still silent
};
std::mutex pending_mutex;
std::map<int, PendingConn> pendingByFd;               // pending_mutex
std::set<std::pair<long long, int>> pendingByExpiry;  // pending_mutex
// pendingByFd.size() and the earliest expiry (LLONG_MAX for none), read
// without the lock.
std::atomic<int> pendingCount{0};
std::atomic<long long> nextExpiry{LLONG_MAX};

// Under pending_mutex.
void NotePendingChange() {
    pendingCount = int(pendingByFd.size());
    nextExpiry = pendingByExpiry.empty() ? LLONG_MAX : pendingByExpiry.begin()->first;
}

// Takes the pending connection on fd away from the others (into out when
// not null). False when none is pending there (another thread has it).
bool TakePending(int fd, ThreadParams* out) {
    std::lock_guard<std::mutex> lock(pending_mutex);
    const auto it = pendingByFd.find(fd);
    if (it == pendingByFd.end()) return false;
    if (out) *out = it->second.params;
    pendingByExpiry.erase({it->second.expiryMs, fd});
    pendingByFd.erase(it);
    NotePendingChange();
    return true;
}

// What one epoll event means; a readable connection is taken into out.
TPendingEvent Classify(const epoll_event& ev, ThreadParams& out) {
    if (ev.data.u64 == kListenerTag) return peListener;
    return TakePending(int(ev.data.u64), &out) ? peReadable : peNothing;
}

}  // namespace

int OpenPendingSet() {
    if (epollFd.load() >= 0) return 0;
    const int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return errno;
    epollFd = fd;
    return 0;
}

int WatchListener(int fd) {
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u64 = kListenerTag;
    return epoll_ctl(epollFd.load(), EPOLL_CTL_ADD, fd, &ev) == 0 ? 0 : errno;
}

void UnwatchListener(int fd) {
    epoll_ctl(epollFd.load(), EPOLL_CTL_DEL, fd, nullptr);
}

bool DeferConnection(const ThreadParams& params) {
    const int ep = epollFd.load();
    if (ep < 0) return false;
    {
        std::lock_guard<std::mutex> lock(pending_mutex);
        const long long expiry = SilentExpiryMs(params);
        pendingByFd[params.socket] = PendingConn{params, expiry};
        pendingByExpiry.insert({expiry, params.socket});
        NotePendingChange();
    }
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = uint64_t(params.socket);
    if (epoll_ctl(ep, EPOLL_CTL_ADD, params.socket, &ev) == 0) return true;
    // Watched before and taken back too early: watched again.
    if (errno == EEXIST && epoll_ctl(ep, EPOLL_CTL_MOD, params.socket, &ev) == 0) return true;
    // Taken back, unless given up meanwhile by another thread.
    return !TakePending(params.socket, nullptr);
}

bool AnyPending() {
    return pendingCount.load() > 0;
}

void ExpireDuePending() {
    const long long now = NowMs();
    if (now < nextExpiry.load()) return;
    std::vector<ThreadParams> expired;
    {
        std::lock_guard<std::mutex> lock(pending_mutex);
        while (!pendingByExpiry.empty() && pendingByExpiry.begin()->first <= now) {
            const int fd = pendingByExpiry.begin()->second;
            pendingByExpiry.erase(pendingByExpiry.begin());
            const auto it = pendingByFd.find(fd);
            expired.push_back(it->second.params);
            pendingByFd.erase(it);
        }
        NotePendingChange();
    }
    for (const ThreadParams& params : expired) {
        epoll_ctl(epollFd.load(), EPOLL_CTL_DEL, params.socket, nullptr);
        EndSilentSession(params);
    }
}

bool TakeReadablePending(ThreadParams& out) {
    struct epoll_event ev;
    return epoll_wait(epollFd.load(), &ev, 1, 0) == 1 && Classify(ev, out) == peReadable;
}

TPendingEvent WaitForWork(ThreadParams& out) {
    int timeoutMs = -1;
    if (AnyPending()) {
        const long long left = nextExpiry.load() - NowMs();
        timeoutMs = left < 0 ? 0 : int(left < kPendingCheckMs ? left : kPendingCheckMs);
    }
    struct epoll_event ev;
    const int n = epoll_wait(epollFd.load(), &ev, 1, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) WakeMainLoop();  // the signal may have been meant for it
        return peNothing;
    }
    if (n == 0) {
        ExpireDuePending();
        return peNothing;
    }
    return Classify(ev, out);
}
