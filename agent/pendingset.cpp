#include "agent/pendingset.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/clock.h"

namespace {

// The listening socket's tag in the epoll set; a pending connection is
// tagged with its descriptor and watched one-shot, so exactly one thread
// takes it.
const uint64_t kListenerTag = ~uint64_t(0);

}  // namespace

TPendingSet::~TPendingSet() {
    const int fd = epollFd.exchange(-1);
    if (fd >= 0) close(fd);
}

int TPendingSet::Open() {
    if (epollFd.load() >= 0) return 0;
    const int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return errno;
    epollFd = fd;
    return 0;
}

int TPendingSet::WatchListener(int fd) {
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u64 = kListenerTag;
    return epoll_ctl(epollFd.load(), EPOLL_CTL_ADD, fd, &ev) == 0 ? 0 : errno;
}

void TPendingSet::UnwatchListener(int fd) {
    epoll_ctl(epollFd.load(), EPOLL_CTL_DEL, fd, nullptr);
}

void TPendingSet::NoteChange() {
    count = int(byFd.size());
    nextExpiry = byExpiry.empty() ? LLONG_MAX : byExpiry.begin()->first;
}

// Takes the pending connection on fd away from the others (into out when
// not null). False when none is pending there (another thread has it).
bool TPendingSet::Take(int fd, TConnection* out) {
    TLock lock(pending_mutex);
    const auto it = byFd.find(fd);
    if (it == byFd.end()) return false;
    if (out) *out = it->second.conn;
    byExpiry.erase({it->second.expiryMs, fd});
    byFd.erase(it);
    NoteChange();
    return true;
}

// What one epoll event means; a readable connection is taken into out.
TPendingEvent TPendingSet::Classify(unsigned long long tag, TConnection& out) {
    if (tag == kListenerTag) return peListener;
    return Take(int(tag), &out) ? peReadable : peNothing;
}

bool TPendingSet::Defer(const TConnection& conn, long long expiryMs) {
    const int ep = epollFd.load();
    if (ep < 0) return false;
    {
        TLock lock(pending_mutex);
        byFd[conn.socket] = Pending{conn, expiryMs};
        byExpiry.insert({expiryMs, conn.socket});
        NoteChange();
    }
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = uint64_t(conn.socket);
    if (epoll_ctl(ep, EPOLL_CTL_ADD, conn.socket, &ev) == 0) return true;
    // Watched before and taken back too early: watched again.
    if (errno == EEXIST && epoll_ctl(ep, EPOLL_CTL_MOD, conn.socket, &ev) == 0) return true;
    // Taken back, unless handed out meanwhile by another thread.
    return !Take(conn.socket, nullptr);
}

std::vector<TConnection> TPendingSet::TakeExpired(long long nowMs) {
    std::vector<TConnection> expired;
    if (nowMs < nextExpiry.load()) return expired;
    {
        TLock lock(pending_mutex);
        while (!byExpiry.empty() && byExpiry.begin()->first <= nowMs) {
            const int fd = byExpiry.begin()->second;
            byExpiry.erase(byExpiry.begin());
            const auto it = byFd.find(fd);
            expired.push_back(it->second.conn);
            byFd.erase(it);
        }
        NoteChange();
    }
    for (const TConnection& conn : expired)
        epoll_ctl(epollFd.load(), EPOLL_CTL_DEL, conn.socket, nullptr);
    return expired;
}

bool TPendingSet::TakeReadable(TConnection& out) {
    struct epoll_event ev;
    return epoll_wait(epollFd.load(), &ev, 1, 0) == 1 && Classify(ev.data.u64, out) == peReadable;
}

TPendingEvent TPendingSet::Wait(TConnection& out, int maxWaitMs, int idleMs) {
    int timeoutMs = idleMs;
    if (Any()) {
        const long long left = nextExpiry.load() - NowMs();
        timeoutMs = left < 0 ? 0 : int(left < maxWaitMs ? left : maxWaitMs);
    }
    struct epoll_event ev;
    const int n = epoll_wait(epollFd.load(), &ev, 1, timeoutMs);
    if (n < 0) return errno == EINTR ? peInterrupted : peNothing;
    if (n == 0) return peNothing;
    return Classify(ev.data.u64, out);
}
