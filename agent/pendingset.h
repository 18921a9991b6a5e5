// The connections accepted before their request came, and what the ready
// threads wait on. One epoll instance watches the published listening socket
// and every pending connection, so a connection whose request has not come
// holds no thread: whichever ready thread finds it readable serves it, and
// one that stays silent is handed back at its expiry for its owner to give
// up. The set neither reads, writes nor closes a connection.
#pragma once

#include <atomic>
#include <climits>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "agent/connection.h"
#include "core/threadsafety.h"

// What a wait for work brought.
enum TPendingEvent {
    peNothing,      // a timeout (connections may be due) or a stale event
    peInterrupted,  // a signal broke the wait
    peListener,     // the listening socket has connections to accept
    peReadable,     // a pending connection's request has come: taken into out
};

class TPendingSet {
  public:
    TPendingSet() = default;
    ~TPendingSet();
    TPendingSet(const TPendingSet&) = delete;
    TPendingSet& operator=(const TPendingSet&) = delete;

    // Creates the epoll instance (close-on-exec) when there is none yet.
    // Returns 0 or the error number. Before any other call.
    int Open();

    // Watches (or stops watching) a listening socket. Watch returns 0 or the
    // error number.
    int WatchListener(int fd);
    void UnwatchListener(int fd);

    // Makes conn pending until its first bytes come or expiryMs (NowMs)
    // passes. False when it cannot be watched (or the set is not open): the
    // caller keeps it. Any thread.
    bool Defer(const TConnection& conn, long long expiryMs);

    // True while connections are pending. Any thread, without a lock.
    bool Any() const { return count.load() > 0; }

    // Takes out the pending connections whose expiry is nowMs or earlier and
    // returns them, earliest first, for the caller to give up. Any thread.
    std::vector<TConnection> TakeExpired(long long nowMs);

    // Takes a pending connection whose request has come, without waiting:
    // true with it in out. Any thread.
    bool TakeReadable(TConnection& out);

    // Waits until a listening socket has connections, a pending connection
    // becomes readable (taken into out) or the next pending connection is
    // due; no longer than maxWaitMs while connections are pending, no longer
    // than idleMs otherwise (-1: for ever). Any thread.
    TPendingEvent Wait(TConnection& out, int maxWaitMs, int idleMs = -1);

  private:
    struct Pending {
        TConnection conn;
        long long expiryMs;
    };
    bool Take(int fd, TConnection* out);
    TPendingEvent Classify(unsigned long long tag, TConnection& out);
    void NoteChange() TEV_REQUIRES(pending_mutex);

    std::atomic<int> epollFd{-1};  // created once, closed with the set
    TMutex pending_mutex;
    std::map<int, Pending> byFd TEV_GUARDED_BY(pending_mutex);
    std::set<std::pair<long long, int>> byExpiry TEV_GUARDED_BY(pending_mutex);
    // byFd.size() and the earliest expiry (LLONG_MAX for none), read
    // without the lock.
    std::atomic<int> count{0};
    std::atomic<long long> nextExpiry{LLONG_MAX};
};
