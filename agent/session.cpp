#include "agent/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "agent/acceptor.h"
#include "agent/console.h"
#include "agent/dispatch.h"
#include "agent/listener.h"
#include "agent/runflags.h"
#include "agent/sessionlimits.h"
#include "agent/upgrade.h"
#include "config/settingnumber.h"
#include "config/settings.h"
#include "core/agentstatus.h"
#include "platform/requestscope.h"
#include "protocol/tev_const.h"

namespace {

const int kChunk = 1024;
// A reply that the peer does not take within this time is abandoned.
const int kSendLimitMs = 30000;
// An upgrade transfer whose peer sends nothing for the `transferidle`
// setting (60 s by default) is abandoned and its slot freed. A limit of
// its own, not `timeout`: that one is meant for a request of a few hundred
// bytes, and a slow link to a remote host pauses longer than four seconds
// in a transfer of megabytes. The whole transfer may take as long as
// kTransferMinRate bytes a second need, plus that limit: a peer that
// trickles a byte now and then cannot hold the upgrade slot for ever.
const long long kTransferMinRate = 8192;
// A request must be whole within this time from its accept (or the idle
// limit when that is longer), however it trickles in: a peer that sends a
// byte every few seconds would otherwise hold its session for ever.
const int kRequestDeadlineMs = 10000;

// When a request must be whole: kRequestDeadlineMs after the accept, or the
// idle limit (timeout) when that is longer.
long long RequestDeadlineMs(long long acceptMs, int timeout) {
    return acceptMs + (timeout > kRequestDeadlineMs ? timeout : kRequestDeadlineMs);
}

// When a request that is not whole yet is given up: at its deadline, or
// when the idle limit (timeout ms from the last receive at lastReceiveMs;
// below 1 for none) has passed, whichever comes first.
long long RequestExpiryMs(long long deadlineMs, long long lastReceiveMs, int timeout) {
    if (timeout < 1) return deadlineMs;
    const long long idleMs = lastReceiveMs + timeout;
    return idleMs < deadlineMs ? idleMs : deadlineMs;
}

// The stall limit of an upgrade transfer under settings s.
int TransferIdleMs(const TTEVSettings& s) {
    return s.transferidle > 0 ? s.transferidle : kDefaultTransferIdleMs;
}

// When an upgrade transfer of fileSize bytes that started at startMs must
// be complete, with the stall limit idleMs.
long long TransferDeadlineMs(long long startMs, long long fileSize, int idleMs) {
    const long long size = fileSize > 0 ? fileSize : 0;
    return startMs + size * 1000 / kTransferMinRate + idleMs;
}

void CloseConnection(int fd) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

// The end of every session, however it went: uncounted and released.
void FinishSession(const ThreadParams& params) {
    AgentStatus.ActiveConnections--;
    SessionLimits.Release(params.address);
    // A request that asked for a run-state change (or changed the port) has
    // been answered and its connection closed: the main loop acts now.
    if (RunStateChangePending()) WakeMainLoop();
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

// Reports a request that failed authentication or decryption: the known
// line, then one failure line naming the reason. A failure line reaches the
// failure log (logfails) and the verbose log, one per attempt, in a form
// that log watchers such as fail2ban match ("Request refused: <reason>").
void ReportRefusal(in_addr peer, const String& reason) {
    showmessage("<-- Invalid QV request received\n", peer, mtInfo, 0);
    const String text = ZeroTerminated(reason.Length() ? reason : String("Invalid request"));
    showmessage("Request refused: %s\n", peer, mtFailure, 1, text.Data());
}

// Hands the request parser's traces to the debugging output.
void DebugTrace(in_addr client, const char* text) {
    showmessage("%s", client, mtDebug, 1, text);
}

class Session {
  public:
    explicit Session(const ThreadParams& p)
        : params(p),
          settings(Settings()),
          lastReceiveMs(p.acceptMs),
          deadlineMs(RequestDeadlineMs(p.acceptMs, settings->timeout)) {}
    // Serves the connection to its end (true), or, with mayWait set and
    // nothing of the request come yet, returns false at once and leaves the
    // connection as it found it.
    bool Run(bool mayWait);
    void Close();

  private:
    long long ExpiryMs() const;
    int WaitMs() const;
    bool IdleExpired() const;
    // Each returns false when the session is over.
    bool OnChunk(const char* data, int n);
    bool OnRequestBytes(const char* data, int n);
    bool OnTransferBytes(const char* data, int n);
    void AnswerRequest();

    ThreadParams params;
    // The settings when the session began: one password and one set of
    // limits for the whole request.
    const std::shared_ptr<const TTEVSettings> settings;
    QVRequest request;
    TEVReply reply;
    UpgradeRec upgrade;
    String upgradeError;
    long long lastReceiveMs;     // NowMs of the last chunk (or the arrival)
    const long long deadlineMs;  // the request must be whole by then
    bool authentic = false;      // tag and digest have passed
    bool wholePacket = false;
    long long lastTransferMs = 0;      // NowMs of the last transfer chunk
    long long transferDeadlineMs = 0;  // the transfer must be complete by then
};

// When the session gives up waiting: for a transfer, its stall limit after
// its last chunk or at its deadline; for a request, at RequestExpiryMs;
// LLONG_MAX once the request is whole.
long long Session::ExpiryMs() const {
    if (upgrade.active) {
        const long long idle = lastTransferMs + TransferIdleMs(*settings);
        return idle < transferDeadlineMs ? idle : transferDeadlineMs;
    }
    if (wholePacket) return LLONG_MAX;
    return RequestExpiryMs(deadlineMs, lastReceiveMs, settings->timeout);
}

// How long to wait for the next chunk: until ExpiryMs; -1 for no limit.
int Session::WaitMs() const {
    const long long expiry = ExpiryMs();
    if (expiry == LLONG_MAX) return -1;
    const long long left = expiry - NowMs();
    return left < 1 ? 1 : int(left > 3600000 ? 3600000 : left);
}

bool Session::IdleExpired() const {
    return NowMs() >= ExpiryMs();
}

bool Session::Run(bool mayWait) {
    char buf[kChunk];
    // The request usually follows the connection at once: try to read it
    // before paying for a wait.
    const ssize_t first = recv(params.socket, buf, sizeof buf, MSG_DONTWAIT);
    if (first < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && mayWait) return false;
    if (first == 0) return true;
    if (first > 0 && !OnChunk(buf, int(first))) return true;
    for (;;) {
        MayBlock();
        struct pollfd p = {params.socket, POLLIN, 0};
        const int ready = poll(&p, 1, WaitMs());
        if (ready < 0) {
            if (errno == EINTR) continue;
            return true;
        }
        if (ready == 0) {
            if (IdleExpired()) return true;
            continue;
        }
        const ssize_t n = recv(params.socket, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        if (!OnChunk(buf, int(n))) return true;
    }
}

bool Session::OnChunk(const char* data, int n) {
    if (upgrade.active) return OnTransferBytes(data, n);
    return OnRequestBytes(data, n);
}

// Reports a request ended because memory ran out (StringAllocFailed).
void ReportOutOfMemory(in_addr peer) {
    ClearStringAllocFailure();
    showmessage("Request ended: not enough memory\n", peer, mtFailure, 0);
}

bool Session::OnRequestBytes(const char* data, int n) {
    lastReceiveMs = NowMs();
    ClearStringAllocFailure();
    request.AddData(data, n);
    if (StringAllocFailed()) {
        ReportOutOfMemory(params.address);
        return false;
    }
    const TRequestTrace trace = settings->debug ? DebugTrace : nullptr;
    // Authenticate as soon as the tag and the digest are in: until then a
    // peer gets no more than one chunk buffered, whatever it announces.
    String reason;
    if (!authentic) {
        const int check = request.CheckHeader(settings->password, params.address, trace, &reason);
        if (check == hcRefused) {
            ReportRefusal(params.address, reason);
            return false;
        }
        if (check == hcIncomplete) return true;
        authentic = true;
    }
    if (!request.WholePacket()) return true;
    wholePacket = true;
    if (!request.ParseInitRequest(settings->password, params.address, trace, &reason)) {
        ReportRefusal(params.address, reason);
        return false;
    }
    showmessage("<-- Correct QV request received\n", params.address, mtInfo, 0);
    AnswerRequest();
    if (!upgrade.active) return false;
    lastTransferMs = NowMs();
    transferDeadlineMs =
        TransferDeadlineMs(lastTransferMs, upgrade.fileSize, TransferIdleMs(*settings));
    return true;
}

void Session::AnswerRequest() {
    reply.InitPacket(nullptr, request.GetSessionKey(), request.SessionCipher());
    TRunRequest after = rrNone;
    int recognised = 0;
    {
        // The handler's waits end when this peer goes or the budget ends.
        TRequestScope scope(params.socket, RequestBudgetMs(settings->timeout));
        recognised = ProcessQVRequest(request, reply, TEVFlags, params, upgrade, after);
    }
    char code[4] = {0, 0, 0, 0};
    if (reply.Length() > 2)
        for (int i = 0; i < 3; i++) code[i] = reply[i + 1];
    if (StringAllocFailed()) {
        // What the handler built may be cut anywhere: it is replaced by a
        // reply that says why.
        ReportOutOfMemory(params.address);
        reply.InitPacket(nullptr, request.GetSessionKey(), request.SessionCipher());
        reply.SetResult("300");
        reply += "Not enough memory";
        code[0] = '3', code[1] = code[2] = '0';
    }
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                params.address, mtInfo, 1, code);
    reply.FinalizePacket();
    if (StringAllocFailed()) {
        ReportOutOfMemory(params.address);
        return;  // no sound reply to send: the connection closes
    }
    // A run-state change may end the process before the session closes its
    // connection: such a reply, and one that starts an upgrade transfer,
    // leaves at once.
    SendAll(params.socket, reply, !upgrade.active && after == rrNone);
    // A request answered proves a new program; before a run-state change,
    // which may replace this image.
    ConfirmUpgrade();
    RaiseRunRequest(TEVFlags, after);
}

bool Session::OnTransferBytes(const char* data, int n) {
    lastTransferMs = NowMs();
    DoUpgrading(upgrade, data, n, upgradeError);
    if (upgrade.active) return true;
    if (upgradeError.Length()) {
        reply.SetResult("300");
        reply += upgradeError;
    } else {
        reply.SetResult("200");
    }
    reply.FinalizePacket();
    SendAll(params.socket, reply, true);
    return false;
}

void Session::Close() {
    AbandonUpgrade(upgrade);  // a transfer cut short frees the slot
    showmessage("Session closed, wait for next ..\n", NoPeer(), mtInfo, 0);
    CloseConnection(params.socket);
    // The main thread runs the update script this session prepared once its
    // reply is out and its connection closed.
    if (upgrade.handedOver) TEVFlags.upgrade = 1;
}

}  // namespace

void RunSession(const ThreadParams& params) {
    BeginSession(params);
    ContinueSession(params, false);
}

void BeginSession(const ThreadParams&) {
    AgentStatus.ActiveConnections++;
    AgentStatus.OpenedConnections++;
}

bool ContinueSession(const ThreadParams& params, bool mayWait) {
    {
        Session session(params);
        if (!session.Run(mayWait)) return false;
        session.Close();
    }
    FinishSession(params);
    return true;
}

long long SilentExpiryMs(const ThreadParams& params) {
    const int timeout = Settings()->timeout;
    return RequestExpiryMs(RequestDeadlineMs(params.acceptMs, timeout), params.acceptMs, timeout);
}

void EndSilentSession(const ThreadParams& params) {
    showmessage("Session closed, wait for next ..\n", NoPeer(), mtInfo, 0);
    CloseConnection(params.socket);
    FinishSession(params);
}

void* ClientExecute(void* arg) {
    ThreadParams* block = static_cast<ThreadParams*>(arg);
    const ThreadParams params = *block;
    delete block;
    RunSession(params);
    return nullptr;
}

void ExitNow(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}
