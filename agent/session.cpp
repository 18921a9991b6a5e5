#include "agent/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "agent/acceptor.h"
#include "agent/console.h"
#include "agent/dispatch.h"
#include "agent/listener.h"
#include "agent/runflags.h"
#include "agent/sessionlimits.h"
#include "agent/upgrade.h"
#include "config/agentstatus.h"
#include "config/settings.h"
#include "platform/requestscope.h"
#include "protocol/tev_const.h"

namespace {

const int kChunk = 1024;
// A reply that the peer does not take within this time is abandoned.
const int kSendLimitMs = 30000;
// An upgrade transfer whose peer stays silent longer than the `timeout`
// setting is abandoned (and its slot freed); this limit applies when the
// setting asks for none.
const int kTransferIdleMs = 300000;
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
// when the idle limit (timeout ms, counted in whole seconds from the last
// receive, lastReceive in seconds; below 1 for none) has passed, whichever
// comes first.
long long RequestExpiryMs(long long deadlineMs, time_t lastReceive, int timeout) {
    if (timeout < 1) return deadlineMs;
    const long long idleMs = ((long long)lastReceive + timeout / 1000 + 1) * 1000;
    return idleMs < deadlineMs ? idleMs : deadlineMs;
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

// Hands the request parser's traces to the debugging output.
void DebugTrace(in_addr client, const char* text) {
    showmessage("%s", client, mtDebug, 1, text);
}

class Session {
  public:
    explicit Session(const ThreadParams& p)
        : params(p),
          settings(Settings()),
          lastReceive(time_t(p.acceptMs / 1000)),
          deadlineMs(RequestDeadlineMs(p.acceptMs, settings->timeout)) {}
    // Serves the connection to its end (true), or, with mayWait set and
    // nothing of the request come yet, returns false at once and leaves the
    // connection as it found it.
    bool Run(bool mayWait);
    void Close();

  private:
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
    time_t lastReceive;
    const long long deadlineMs;  // the request must be whole by then
    bool authentic = false;      // tag and digest have passed
    bool wholePacket = false;
    long long lastTransferMs = 0;
};

// The longest silence allowed between chunks of an upgrade transfer.
int TransferIdleMs() {
    const int timeout = Settings()->timeout;
    return timeout >= 1 ? timeout : kTransferIdleMs;
}

// How long to wait for the next chunk: until the idle limit would expire
// (it counts whole seconds from the last receive) or the request deadline
// passes, whichever comes first; -1 for no limit.
int Session::WaitMs() const {
    if (upgrade.active) {
        const long long left = lastTransferMs + TransferIdleMs() - NowMs();
        return left < 1 ? 1 : int(left);
    }
    if (wholePacket) return -1;
    const long long left = RequestExpiryMs(deadlineMs, lastReceive, settings->timeout) - NowMs();
    return left < 1 ? 1 : int(left > 3600000 ? 3600000 : left);
}

bool Session::IdleExpired() const {
    if (upgrade.active) return NowMs() - lastTransferMs >= TransferIdleMs();
    if (wholePacket) return false;
    return NowMs() >= RequestExpiryMs(deadlineMs, lastReceive, settings->timeout);
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

bool Session::OnRequestBytes(const char* data, int n) {
    lastReceive = std::time(nullptr);
    request.AddData(data, n);
    const TRequestTrace trace = settings->debug ? DebugTrace : nullptr;
    // Authenticate as soon as the tag and the digest are in: until then a
    // peer gets no more than one chunk buffered, whatever it announces.
    if (!authentic) {
        const int check = request.CheckHeader(settings->password, params.address, trace);
        if (check == hcRefused) {
            showmessage("<-- Invalid QV request received\n", params.address, mtInfo, 0);
            return false;
        }
        if (check == hcIncomplete) return true;
        authentic = true;
    }
    if (!request.WholePacket()) return true;
    wholePacket = true;
    if (!request.ParseInitRequest(settings->password, params.address, trace)) {
        showmessage("<-- Invalid QV request received\n", params.address, mtInfo, 0);
        return false;
    }
    showmessage("<-- Correct QV request received\n", params.address, mtInfo, 0);
    AnswerRequest();
    if (!upgrade.active) return false;
    lastTransferMs = NowMs();
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
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                params.address, mtInfo, 1, code);
    reply.FinalizePacket();
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

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

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
    return RequestExpiryMs(RequestDeadlineMs(params.acceptMs, timeout),
                           time_t(params.acceptMs / 1000), timeout);
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
