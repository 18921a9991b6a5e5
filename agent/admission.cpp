#include "agent/admission.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "agent/console.h"
#include "agent/runstate.h"
#include "agent/sessionlimits.h"
#include "config/settings.h"
#include "core/agentstatus.h"
#include "core/threadsafety.h"
#include "platform/ipfilter.h"
#include "platform/sockets.h"
#include "platform/syserror.h"

namespace {

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
    KeepReserveDescriptor();
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

// True for a peer that may manage or update the agent: the only peers that
// get a reserve place (agent/sessionlimits.h).
bool MayManage(const TTEVSettings& s, in_addr peer) {
    String error;
    return (s.allowmanage && IPAllowed(peer.s_addr, s.manageaddr, error)) ||
           (s.allowupdates && IPAllowed(peer.s_addr, s.updateaddr, error));
}

void Refuse(int fd, in_addr peer) {
    AgentStatus.FailedConnections++;
    showmessage("TCP connection rejected\n", peer, mtFailure, 0);
    CloseConnection(fd);
}

}  // namespace

void KeepReserveDescriptor() {
    if (reserveFd.load(std::memory_order_relaxed) >= 0) return;
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    int none = -1;
    if (!reserveFd.compare_exchange_strong(none, fd)) close(fd);
}

bool OnAcceptFailure(int fd, int err) {
    if (err == EINTR) {
        WakeMainLoop();  // the signal may have been meant for the main loop
        return true;
    }
    if (!TransientAcceptError(err)) return false;
    if (ResourceError(err)) {
        // A descriptor is taken before accept waits, so at the limit accept
        // fails whether or not a connection waits: count and act only when
        // one does.
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) return true;
        ReportTrouble(err);
        if (err == EMFILE && ShedOne(fd)) return true;
        usleep(10 * 1000);  // let sessions give memory or descriptors back
        return true;
    }
    ReportTrouble(err);
    return true;
}

bool AdmitConnection(TConnection& conn) {
    EndTrouble();
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!FilterAllows(*s, conn.address)) {
        Refuse(conn.socket, conn.address);
        return false;
    }
    const TAdmission admission = SessionLimits.Admit(conn.address, MayManage(*s, conn.address));
    if (admission == adRefused) {
        Refuse(conn.socket, conn.address);  // over a cap: closed at once
        return false;
    }
    conn.reserve = admission == adReserve;
    showmessage("TCP connection accepted\n", conn.address, mtSuccess, 0);
    AgentStatus.ActiveConnections++;
    AgentStatus.OpenedConnections++;
    return true;
}

void ReleaseAdmission(const TConnection& conn) {
    AgentStatus.ActiveConnections--;
    SessionLimits.Release(conn.address);
}
