#include "agent/pool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <vector>

#include "agent/commands.h"
#include "agent/console.h"
#include "agent/pendingset.h"
#include "agent/runstate.h"
#include "agent/session.h"
#include "agent/sessionlimits.h"
#include "agent/signals.h"
#include "config/settings.h"
#include "core/agentstatus.h"
#include "core/threadsafety.h"
#include "platform/clock.h"
#include "platform/sockets.h"

namespace {

// Stack of a session thread: sessions are shallow, and thousands may run.
const size_t kSessionStack = 1024 * 1024;
// Threads kept ready to accept. A ready thread serves the connection it
// took as long as that needs no wait, then takes the next one, so a busy
// agent works through its queue of connections without a wake-up or a
// hand-over per connection. One: each more thread waiting in accept takes
// connections the moment they are made, before their requests follow, and
// then has to wait for them after all (measured: more CPU per request and
// longer tails at 8 and 64 connections at a time).
const int kReadyThreads = 1;
// Threads parked after a session that had to wait, at most; more end.
const size_t kMaxParked = 64;
// A parked thread that is not needed for this long ends.
const int kIdleThreadSeconds = 30;

// The published listening socket. A thread counts itself in `users` before
// it reads `published` and leaves after its accept has returned; the main
// thread clears `published` before it shuts the socket down and waits for
// `users` to drop to zero, so no thread can reach accept on a descriptor
// that is being closed (or that was closed and numbered anew).
std::atomic<int> published{-1};
std::atomic<int> publishedPort{0};
std::atomic<int> users{0};
// Threads that accept and serve without waiting: the ready threads. A
// thread stops counting here before anything that may wait (MayBlock), and
// starts counting again after its session, when fewer than kReadyThreads
// are ready; otherwise it parks. A thread that stops while no other thread
// takes work makes others ready first.
std::atomic<int> ready{0};
thread_local bool readyThread = false;  // the calling thread counts in `ready`
// Ready threads looking for work: accepting, or waiting in epoll_wait.
std::atomic<int> takers{0};
std::atomic<bool> fatal{false};

// The kernel holds a new connection back from accept until its first bytes
// come, for up to this long: the thread that takes it is then woken once,
// with the request there, instead of once for the connection and again for
// its request. A connection still silent then is accepted all the same;
// its idle limit and request deadline count from its arrival (Serve).
const int kDeferAcceptSeconds = 1;

// Parked threads: each waits on a semaphore of its own, so a hand-over
// wakes exactly one thread once.
struct Parked {
    sem_t wake;
};
TMutex pool_mutex;
std::vector<Parked*> parked TEV_GUARDED_BY(pool_mutex);  // last in, first out

// A run of transient accept failures is reported once when it starts and
// once, with its count, when it ends, not once per failure: at the
// descriptor limit accept fails for every waiting connection.
struct AcceptTrouble {
    int error = 0;  // the failure of the run going on; 0 for none
    int count = 0;  // failures in the run
};
TMutex accept_trouble_mutex;
AcceptTrouble trouble TEV_GUARDED_BY(accept_trouble_mutex);
std::atomic<bool> troubleGoing{false};  // trouble.error != 0, read without the lock

// A descriptor kept in reserve: at the descriptor limit it is given up for
// a moment to accept and close a waiting connection, so the backlog drains
// instead of holding connections nobody can take.
std::atomic<int> reserveFd{-1};

void KeepReserve() {
    if (reserveFd.load(std::memory_order_relaxed) >= 0) return;
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    int none = -1;
    if (!reserveFd.compare_exchange_strong(none, fd)) close(fd);
}

// Accepts and closes one waiting connection with the reserve descriptor.
// Returns true when one was shed.
bool ShedOne(int listenFd) {
    const int spare = reserveFd.exchange(-1);
    if (spare < 0) return false;
    close(spare);
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        AgentStatus.FailedConnections++;
        close(fd);
    }
    KeepReserve();
    return fd >= 0;
}

void ReportTrouble(int err) {
    TLock lock(accept_trouble_mutex);
    trouble.count++;
    if (trouble.error == err) return;
    trouble.error = err;
    trouble.count = 1;
    troubleGoing = true;
    String text = GetErrorStr(err);
    text.SetZero();
    showmessage("Accept error: %s\n", NoPeer(), mtFailure, 1, text.Data());
}

void EndTrouble() {
    if (!troubleGoing.load(std::memory_order_relaxed)) return;
    TLock lock(accept_trouble_mutex);
    if (!trouble.error) return;
    showmessage("Accept errors ended: %d failed accepts\n", NoPeer(), mtFailure, 1, trouble.count);
    trouble = AcceptTrouble();
    troubleGoing = false;
}

bool TransientAcceptError(int err) {
    return err == ECONNABORTED || err == EMFILE || err == ENFILE || err == ENOBUFS ||
           err == ENOMEM || err == EPROTO || err == EPERM || err == ENETDOWN ||
           err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET || err == EHOSTUNREACH ||
           err == EOPNOTSUPP || err == ENETUNREACH;
}

bool ResourceError(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

bool FilterAllows(const TTEVSettings& s, in_addr peer) {
    if (!s.filteractive) return true;
    char text[24];
    if (!inet_ntop(AF_INET, &peer, text, sizeof text)) return false;
    // Whole items only: every item stands between CR LF pairs.
    String item("\r\n");
    item += text;
    item += "\r\n";
    return s.activefilter.Pos(item) != 0;
}

void Refuse(int fd, in_addr peer) {
    AgentStatus.FailedConnections++;
    showmessage("TCP connection rejected\n", peer, mtFailure, 0);
    CloseConnection(fd);
}

// The published descriptor, counted in `users`; -1 (not counted) when none
// is published.
int EnterListener() {
    users++;
    const int fd = published.load();
    if (fd >= 0) return fd;
    users--;
    return -1;
}

// Reports a failure to accept that is not transient, once; the main loop
// then ends the agent.
void FailFatally(int err) {
    if (fatal.exchange(true)) return;
    String text = GetErrorStr(err);
    text.SetZero();
    showmessage("Accept fatal error: %s\n\n", NoPeer(), mtFailure, 1, text.Data());
    WakeMainLoop();
}

// Deals with a failed accept on fd; the caller then accepts again.
void OnAcceptFailure(int fd, int err) {
    if (published.load() != fd) return;  // withdrawn meanwhile: expected
    if (err == EINTR) {
        WakeMainLoop();  // the signal may have been meant for the main loop
        return;
    }
    if (!TransientAcceptError(err)) {
        FailFatally(err);
        usleep(100 * 1000);  // the main loop ends the agent
        return;
    }
    if (ResourceError(err)) {
        // A descriptor is taken before accept waits, so at the limit accept
        // fails whether or not a connection waits: count and act only when
        // one does.
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) return;
        ReportTrouble(err);
        if (err == EMFILE && ShedOne(fd)) return;
        usleep(10 * 1000);  // let sessions give memory or descriptors back
        return;
    }
    ReportTrouble(err);
}

void* PoolThread(void* arg);

// Makes one more thread ready: a parked one when there is one, otherwise a
// new one. Counted in `ready` at once, so that two threads that both saw
// none ready make two, not none. Returns 0 or the error number of the failed
// thread start.
int MakeReady() {
    ready++;
    Parked* idle = nullptr;
    {
        TLock lock(pool_mutex);
        if (!parked.empty()) {
            idle = parked.back();
            parked.pop_back();
        }
    }
    if (idle) {
        sem_post(&idle->wake);
        return 0;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kSessionStack);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, PoolThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) ready--;
    return rc;
}

void ReportThreadFailure(int rc) {
    String text = GetErrorStr(rc);
    text.SetZero();
    showmessage("Cannot start session thread: %s\n", NoPeer(), mtFailure, 1, text.Data());
}

// Waits until MakeReady hands this thread the duty to accept (true), or
// until it is not needed for kIdleThreadSeconds or enough threads are
// parked (false: the thread ends).
bool Park(Parked& self) {
    {
        TLock lock(pool_mutex);
        if (parked.size() >= kMaxParked) return false;
        parked.push_back(&self);
    }
    // On the monotonic clock: a step of the wall clock neither ends the
    // thread early nor keeps it for an hour.
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kIdleThreadSeconds;
    while (sem_clockwait(&self.wake, CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno == EINTR) continue;
        {
            TLock lock(pool_mutex);
            for (size_t i = 0; i < parked.size(); i++) {
                if (parked[i] != &self) continue;
                parked.erase(parked.begin() + long(i));
                return false;
            }
        }
        // Taken off the list just now: the hand-over is on its way.
        while (sem_wait(&self.wake) != 0) {
        }
        break;
    }
    return true;
}

// A ready thread above kReadyThreads stops being one.
void TrimReady() {
    int now = ready.load();
    while (now > kReadyThreads && !ready.compare_exchange_weak(now, now - 1)) {
    }
    if (now > kReadyThreads) readyThread = false;
}

// After a session that waited: ready again when fewer than kReadyThreads
// are, otherwise parked. False when the thread should end.
bool Rejoin(Parked& self) {
    int now = ready.load();
    while (now < kReadyThreads && !ready.compare_exchange_weak(now, now + 1)) {
    }
    return now < kReadyThreads || Park(self);
}

// The calling thread is about to wait, or to do work that may take long:
// when it is a ready thread it stops counting as one, and when no other
// thread is taking work, others are made ready first ("Cannot start session
// thread: %s\n" when that fails). Nothing on other threads or when called
// again.
void MayBlock() {
    if (!readyThread) return;
    readyThread = false;
    ready--;
    // Whoever still counts as ready may be busy; what matters is that some
    // thread takes work now. When none does, one is made ready, or two while
    // connections are waiting: when a crowd of connections that trickle
    // their requests arrives, each taker soon waits in its session, and the
    // takers double instead of following one another. Extra ready threads
    // park again (TrimReady).
    if (takers.load() > 0) return;
    struct pollfd waiting = {published.load(), POLLIN, 0};
    const int wanted = waiting.fd >= 0 && poll(&waiting, 1, 0) > 0 ? 2 : 1;
    for (int i = 0; i < wanted; i++) {
        const int rc = MakeReady();
        if (rc == 0) continue;
        ReportThreadFailure(rc);
        break;
    }
}

const int kChunk = 1024;
// A reply that the peer does not take within this time is abandoned.
const int kSendLimitMs = 30000;
// The longest wait for work while connections are pending: an expiry made
// earlier than the others by a settings change is met within it.
const int kPendingCheckMs = 1000;

// Connections accepted before their request came.
TPendingSet pending;

// The end of every connection that was admitted, however it went: reported
// and closed; then (ReleaseConnection) uncounted and released.
void EndConnection(const TConnection& conn) {
    showmessage("Session closed, wait for next ..\n", NoPeer(), mtInfo, 0);
    CloseConnection(conn.socket);
}

// A request that asked for a run-state change (or changed the port) has
// been answered and its connection closed by now: the main loop acts at
// once instead of at its next check.
void ReleaseConnection(const TConnection& conn) {
    AgentStatus.ActiveConnections--;
    SessionLimits.Release(conn.address);
    if (RunStateChangePending(publishedPort.load())) WakeMainLoop();
}

// Gives up the pending connections whose expiry has passed.
void ExpireDue() {
    for (const TConnection& conn : pending.TakeExpired(NowMs())) {
        EndConnection(conn);
        ReleaseConnection(conn);
    }
}

// Sends all of data, however many send calls it takes, within kSendLimitMs.
// With closing set the caller shuts the connection down right after: the
// tail of the data is held back (MSG_MORE) until then and leaves together
// with the end of the connection in one segment, so the peer is woken once
// and the loopback path is travelled once instead of twice.
void SendAll(int fd, const String& data, bool closing) {
    const long long deadline = NowMs() + kSendLimitMs;
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (closing ? MSG_MORE : 0);
    int sent = 0;
    while (sent < data.Length()) {
        const ssize_t n = send(fd, data.Data() + sent, size_t(data.Length() - sent), flags);
        if (n > 0) {
            sent += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
        MayBlock();
        const long long left = deadline - NowMs();
        if (left <= 0) return;
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, int(left)) < 0 && errno != EINTR) return;
    }
}

// How long to wait for bytes due by expiryMs: -1 for no limit; at least 1.
int WaitMs(long long expiryMs) {
    if (expiryMs == LLONG_MAX) return -1;
    const long long left = expiryMs - NowMs();
    return left < 1 ? 1 : int(left > 3600000 ? 3600000 : left);
}

// Waits for the session's next bytes on fd and hands them over; snClose
// when the peer ends the connection, a read fails or the session's expiry
// passes.
TSessionNeed ReadMore(TSession& session, int fd, char* buf) {
    for (;;) {
        MayBlock();
        struct pollfd p = {fd, POLLIN, 0};
        const int polled = poll(&p, 1, WaitMs(session.ExpiryMs()));
        if (polled < 0) {
            if (errno == EINTR) continue;
            return snClose;
        }
        if (polled == 0) {
            if (NowMs() >= session.ExpiryMs()) return snClose;
            continue;
        }
        const ssize_t n = recv(fd, buf, kChunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return snClose;
        return session.OnBytes(buf, int(n));
    }
}

// Does what the session needs until it is over, then ends the connection.
void Drive(const TConnection& conn, TSessionNeed need, const char* first, int firstLength,
           char* buf) {
    TSession session(conn);
    if (first) need = session.OnBytes(first, firstLength);
    while (need != snClose) {
        switch (need) {
            case snRead:
                need = ReadMore(session, conn.socket, buf);
                break;
            case snRun: {
                // A handler that may take long must not hold the duty to
                // take work: the command table says which are quick.
                const TCommandDef* c = session.Request().def;
                if (c && !c->quick) MayBlock();
                need = session.RunRequest();
                break;
            }
            case snWrite:
                SendAll(conn.socket, session.Output(), session.EndsAfterOutput());
                need = session.OnWritten();
                break;
            case snClose:
                break;
        }
    }
    session.Finish();
    EndConnection(conn);
    session.Closed();
    ReleaseConnection(conn);
}

// Serves a connection on this thread from its request on, or makes it
// pending while its request has not come (with mayDefer). A connection that
// is silent when it is first taken (fresh) reached accept only because the
// kernel's deferral ran out: it arrived when the deferral began, and its
// idle limit counts from then, so `timeout` means what it says.
void Serve(TConnection conn, bool mayDefer, bool fresh) {
    char buf[kChunk];
    // The request usually follows the connection at once: try to read it
    // before paying for a wait.
    const ssize_t first = recv(conn.socket, buf, sizeof buf, MSG_DONTWAIT);
    if (first > 0) return Drive(conn, snRead, buf, int(first), buf);
    if (first == 0) return Drive(conn, snClose, nullptr, 0, buf);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (fresh) conn.acceptMs -= kDeferAcceptSeconds * 1000LL;
        if (mayDefer && pending.Defer(conn, SilentExpiryMs(conn, Settings()->timeout))) return;
    }
    Drive(conn, snRead, nullptr, 0, buf);
}

// Filters, caps and serves (or makes pending) one accepted connection.
void Take(TConnection conn) {
    EndTrouble();
    if (!FilterAllows(*Settings(), conn.address)) {
        Refuse(conn.socket, conn.address);
        return;
    }
    const TAdmission admission = SessionLimits.Admit(conn.address);
    if (admission == adRefused) {
        Refuse(conn.socket, conn.address);  // over a cap: closed at once
        return;
    }
    conn.reserve = admission == adReserve;
    showmessage("TCP connection accepted\n", conn.address, mtSuccess, 0);
    AgentStatus.ActiveConnections++;
    AgentStatus.OpenedConnections++;
    Serve(conn, true, true);
}

enum TWork { wkNone, wkAccepted, wkResumed };

// The next piece of work for a ready thread: a pending connection whose
// request has come (they were accepted first), else a new connection,
// else whatever comes first.
TWork NextWork(TConnection& conn) {
    if (pending.Any()) {
        ExpireDue();
        if (pending.TakeReadable(conn)) return wkResumed;
    }
    const int fd = EnterListener();
    if (fd >= 0) {
        sockaddr_in addr;
        socklen_t len = sizeof addr;
        const int accepted = accept4(fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
        const int err = errno;
        if (accepted >= 0) {
            users--;
            conn = TConnection{accepted, addr.sin_addr, NowMs()};
            return wkAccepted;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) {
            OnAcceptFailure(fd, err);
            users--;
            return wkNone;
        }
        users--;
    }
    const TPendingEvent event = pending.Wait(conn, kPendingCheckMs);
    if (event == peInterrupted) WakeMainLoop();  // the signal may have been meant for it
    return event == peReadable ? wkResumed : wkNone;
}

// Takes work and does it while it is a ready thread; after a session that
// waited it rejoins or parks. Counted in `ready` by MakeReady.
void* PoolThread(void*) {
    void* altStack = InstallAltStack();
    Parked self;
    sem_init(&self.wake, 0, 0);
    readyThread = true;
    for (;;) {
        if (readyThread) TrimReady();
        if (!readyThread) {
            if (!Rejoin(self)) break;
            readyThread = true;
        }
        KeepReserve();
        TConnection conn;
        takers++;
        const TWork work = NextWork(conn);
        takers--;
        if (work == wkAccepted) Take(conn);
        if (work == wkResumed) Serve(conn, false, false);
    }
    sem_destroy(&self.wake);
    RemoveAltStack(altStack);
    return nullptr;
}

}  // namespace

void PublishListener(int fd, int port) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &kDeferAcceptSeconds, sizeof kDeferAcceptSeconds);
    int err = pending.Open();
    if (err != 0) return FailFatally(err);
    publishedPort = port;
    published = fd;
    err = pending.WatchListener(fd);
    if (err != 0) return FailFatally(err);
    while (ready.load() < kReadyThreads) {
        const int rc = MakeReady();
        if (rc == 0) continue;
        ReportThreadFailure(rc);
        break;
    }
}

void WithdrawListener() {
    const int fd = published.exchange(-1);
    publishedPort = 0;
    if (fd < 0) return;
    pending.UnwatchListener(fd);
    shutdown(fd, SHUT_RDWR);
    while (users.load() != 0) usleep(1000);
}

void KeepThreadReady() {
    // Reported once per run of failures, not at every check.
    static bool failing = false;  // main thread only
    if (ready.load() > 0 || published.load() < 0) return;
    const int rc = MakeReady();
    if (rc != 0 && !failing) ReportThreadFailure(rc);
    failing = rc != 0;
}

bool AcceptFailedFatally() {
    return fatal.load();
}
