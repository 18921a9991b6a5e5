#include "agent/pool.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "agent/admission.h"
#include "agent/console.h"
#include "agent/pendingset.h"
#include "agent/runstate.h"
#include "agent/sessiondriver.h"
#include "agent/threads.h"
#include "platform/clock.h"
#include "platform/syserror.h"

namespace {

// The published listening socket. A thread counts itself in `users` before
// it reads `published` and leaves after its accept has returned; the main
// thread clears `published` before it shuts the socket down and waits for
// `users` to drop to zero, so no thread can reach accept on a descriptor
// that is being closed (or that was closed and numbered anew).
std::atomic<int> published{-1};
std::atomic<int> publishedPort{0};
std::atomic<int> users{0};
std::atomic<bool> fatal{false};

// The longest wait for work while connections are pending: an expiry made
// earlier than the others by a settings change is met within it.
const int kPendingCheckMs = 1000;

// Connections accepted before their request came.
TPendingSet pending;

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
void AcceptFailed(int fd, int err) {
    if (published.load() != fd) return;  // withdrawn meanwhile: expected
    if (OnAcceptFailure(fd, err)) return;
    FailFatally(err);
    usleep(100 * 1000);  // the main loop ends the agent
}

enum TWork { wkNone, wkAccepted, wkResumed };

// The next piece of work for a ready thread: a pending connection whose
// request has come (they were accepted first), else a new connection,
// else whatever comes first.
TWork NextWork(TConnection& conn) {
    if (pending.Any()) {
        ExpirePending(pending);
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
            conn.port = publishedPort.load();
            return wkAccepted;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) {
            AcceptFailed(fd, err);
            users--;
            return wkNone;
        }
        users--;
    }
    const TPendingEvent event = pending.Wait(conn, kPendingCheckMs, WorkWaitMs());
    if (event == peInterrupted) WakeMainLoop();  // the signal may have been meant for it
    return event == peReadable ? wkResumed : wkNone;
}

// One turn of a ready thread: takes the next piece of work and does it.
// False when none came.
bool Turn() {
    KeepReserveDescriptor();
    TConnection conn;
    TWork work;
    {
        TLookingForWork looking;
        work = NextWork(conn);
    }
    if (work == wkAccepted && AdmitConnection(conn)) ServeConnection(conn, &pending, true);
    if (work == wkResumed) ServeConnection(conn, nullptr, false);
    return work != wkNone;
}

// True when connections wait on the published socket to be accepted.
bool ConnectionsWaiting() {
    struct pollfd waiting = {published.load(), POLLIN, 0};
    return waiting.fd >= 0 && poll(&waiting, 1, 0) > 0;
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
    StartThreads(Turn, ConnectionsWaiting);
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
    if (published.load() >= 0) KeepOneThreadReady();
}

void SettleThreadsForExit() {
    JoinEndedThreads();
}

bool AcceptFailedFatally() {
    return fatal.load();
}
