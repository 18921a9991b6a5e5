#include "agent/session.h"

#include <climits>

#include "agent/console.h"
#include "agent/runstate.h"
#include "config/settingnumber.h"
#include "platform/clock.h"
#include "platform/requestscope.h"
#include "protocol/tev_const.h"

namespace {

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

// A session on a reserve place (agent/sessionlimits.h) must have proven
// that its peer knows the password (the header is in and right) within this
// time from its arrival: a reserve place is for a manager's request, which
// comes whole at once, not for a silent or slow connection from a
// manager's address, which would otherwise hold the place that manager
// needs.
const int kReserveProofMs = 1000;

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

// When the header (length, tag and digest of the password) must be in, for
// a connection that arrived at acceptMs: the idle limit (timeout ms; below
// 1 for none) from the arrival, or the request deadline when that comes
// first; a reserve place's proof time when earlier still. Fixed at the
// arrival: bytes that trickle in do not put it off.
long long HeaderDeadlineMs(const TConnection& conn, int timeout) {
    const long long deadline =
        RequestExpiryMs(RequestDeadlineMs(conn.acceptMs, timeout), conn.acceptMs, timeout);
    if (!conn.reserve) return deadline;
    const long long proof = conn.acceptMs + kReserveProofMs;
    return proof < deadline ? proof : deadline;
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

// Reports a request that failed authentication or decryption: the known
// line, then one failure line naming the reason. A failure line reaches the
// failure log (logfails) and the verbose log, one per attempt, in a form
// that log watchers such as fail2ban match ("Request refused: <reason>").
void ReportRefusal(in_addr peer, const String& reason) {
    showmessage("<-- Invalid QV request received\n", peer, mtInfo, 0);
    const String text = ZeroTerminated(reason.Length() ? reason : String("Invalid request"));
    showmessage("Request refused: %s\n", peer, mtFailure, 1, text.Data());
}

// Reports a request ended because memory ran out (StringAllocFailed).
void ReportOutOfMemory(in_addr peer) {
    ClearStringAllocFailure();
    showmessage("Request ended: not enough memory\n", peer, mtFailure, 0);
}

// Hands the request parser's traces to the debugging output.
void DebugTrace(in_addr client, const char* text) {
    showmessage("%s", client, mtDebug, 1, text);
}

}  // namespace

TSession::TSession(const TConnection& c)
    : conn(c),
      settings(Settings()),
      lastReceiveMs(c.acceptMs),
      deadlineMs(RequestDeadlineMs(c.acceptMs, settings->timeout)),
      headerDeadlineMs(HeaderDeadlineMs(c, settings->timeout)) {}

long long TSession::ExpiryMs() const {
    if (upgrade.active) {
        const long long idle = lastTransferMs + TransferIdleMs(*settings);
        return idle < transferDeadlineMs ? idle : transferDeadlineMs;
    }
    if (wholePacket) return LLONG_MAX;
    const long long expiry = RequestExpiryMs(deadlineMs, lastReceiveMs, settings->timeout);
    if (authentic) return expiry;
    return headerDeadlineMs < expiry ? headerDeadlineMs : expiry;
}

TSessionNeed TSession::OnBytes(const char* data, int n) {
    if (upgrade.active) return OnTransferBytes(data, n);
    if (wholePacket) return snClose;  // nothing is read after a request
    return OnRequestBytes(data, n);
}

TSessionNeed TSession::OnRequestBytes(const char* data, int n) {
    lastReceiveMs = NowMs();
    ClearStringAllocFailure();
    request.AddData(data, n);
    if (StringAllocFailed()) {
        ReportOutOfMemory(conn.address);
        return snClose;
    }
    const TRequestTrace trace = settings->debug ? DebugTrace : nullptr;
    // Authenticate as soon as the tag and the digest are in: until then a
    // peer gets no more than one chunk buffered, whatever it announces.
    String reason;
    if (!authentic) {
        const int check = request.CheckHeader(settings->password, conn.address, trace, &reason);
        if (check == hcRefused) {
            ReportRefusal(conn.address, reason);
            return snClose;
        }
        if (check == hcIncomplete) return snRead;
        authentic = true;
    }
    if (!request.WholePacket()) return snRead;
    wholePacket = true;
    if (!request.ParseInitRequest(settings->password, conn.address, trace, &reason)) {
        ReportRefusal(conn.address, reason);
        return snClose;
    }
    showmessage("<-- Correct QV request received\n", conn.address, mtInfo, 0);
    SplitRequest(request, line);
    return snRun;
}

TSessionNeed TSession::RunRequest() {
    reply.InitPacket(nullptr, request.GetSessionKey(), request.SessionCipher());
    int recognised = 0;
    {
        // The handler's waits end when this peer goes or the budget ends.
        TRequestScope scope(conn.socket, RequestBudgetMs(settings->timeout));
        recognised = DispatchRequest(line, request.GetSessionKey(), reply, conn, upgrade, after);
    }
    char code[4] = {0, 0, 0, 0};
    if (reply.Length() > 2)
        for (int i = 0; i < 3; i++) code[i] = reply[i + 1];
    if (StringAllocFailed()) {
        // What the handler built may be cut anywhere: it is replaced by a
        // reply that says why.
        ReportOutOfMemory(conn.address);
        reply.InitPacket(nullptr, request.GetSessionKey(), request.SessionCipher());
        reply.SetResult("300");
        reply += "Not enough memory";
        code[0] = '3', code[1] = code[2] = '0';
    }
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                conn.address, mtInfo, 1, code);
    reply.FinalizePacket();
    if (StringAllocFailed()) {
        ReportOutOfMemory(conn.address);
        return snClose;  // no sound reply to send: the connection closes
    }
    // A run-state change may end the process before the session closes its
    // connection: such a reply, and one that starts an upgrade transfer,
    // leaves at once.
    endsAfterOutput = !upgrade.active && after == rrNone;
    return snWrite;
}

TSessionNeed TSession::OnWritten() {
    if (transferEnded) return snClose;
    // A request answered proves a new program; before a run-state change,
    // which may replace this image.
    ConfirmUpgrade();
    RaiseRunRequest(TEVFlags, after);
    if (!upgrade.active) return snClose;
    lastTransferMs = NowMs();
    transferDeadlineMs =
        TransferDeadlineMs(lastTransferMs, upgrade.fileSize, TransferIdleMs(*settings));
    return snRead;
}

TSessionNeed TSession::OnTransferBytes(const char* data, int n) {
    lastTransferMs = NowMs();
    DoUpgrading(upgrade, data, n, upgradeError);
    if (upgrade.active) return snRead;
    if (upgradeError.Length()) {
        reply.SetResult("300");
        reply += upgradeError;
    } else {
        reply.SetResult("200");
    }
    reply.FinalizePacket();
    endsAfterOutput = true;
    transferEnded = true;
    return snWrite;
}

void TSession::Finish() {
    AbandonUpgrade(upgrade);  // a transfer cut short frees the slot
}

void TSession::Closed() {
    // The main thread runs the update script this session prepared once its
    // reply is out and its connection closed.
    if (upgrade.handedOver) TEVFlags.runUpgradeScript = 1;
}

long long SilentExpiryMs(const TConnection& conn, int timeout) {
    return HeaderDeadlineMs(conn, timeout);
}
