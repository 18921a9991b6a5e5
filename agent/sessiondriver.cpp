#include "agent/sessiondriver.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "agent/admission.h"
#include "agent/commands.h"
#include "agent/console.h"
#include "agent/runstate.h"
#include "agent/session.h"
#include "agent/threads.h"
#include "config/settings.h"
#include "platform/clock.h"
#include "platform/sockets.h"

namespace {

const int kChunk = 1024;
// A reply that the peer does not take within this time is abandoned.
const int kSendLimitMs = 30000;

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
    ReleaseAdmission(conn);
    if (RunStateChangePending(conn.port)) WakeMainLoop();
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

}  // namespace

void ServeConnection(TConnection conn, TPendingSet* deferTo, bool fresh) {
    char buf[kChunk];
    // The request usually follows the connection at once: try to read it
    // before paying for a wait.
    const ssize_t first = recv(conn.socket, buf, sizeof buf, MSG_DONTWAIT);
    if (first > 0) return Drive(conn, snRead, buf, int(first), buf);
    if (first == 0) return Drive(conn, snClose, nullptr, 0, buf);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Silent when first taken: it came by the kernel's deferral running
        // out only when its handshake was repeated, and then arrived that
        // long ago. A connection whose request is still on its way (taken
        // between its arrival and its first bytes being queued) did not.
        if (fresh && HandshakeWasRepeated(conn.socket))
            conn.acceptMs -= kDeferAcceptSeconds * 1000LL;
        if (deferTo && deferTo->Defer(conn, SilentExpiryMs(conn, Settings()->timeout))) return;
    }
    Drive(conn, snRead, nullptr, 0, buf);
}

void ExpirePending(TPendingSet& pending) {
    for (const TConnection& conn : pending.TakeExpired(NowMs())) {
        EndConnection(conn);
        ReleaseConnection(conn);
    }
}
