#include "handlers/actions.h"

#include <memory>

#include "config/settings.h"
#include "handlers/netparams.h"
#include "handlers/replies.h"
#include "platform/process.h"
#include "platform/requestscope.h"
#include "platform/sockets.h"
#include "platform/syslog.h"

namespace {

// Bound of the connect and of each send of ACT-TCPUDPsend.
const int kActionSendLimitMs = 30000;

void NotAllowed(TEVReply& Reply) {
    Reply.SetResult("600");
    Reply += "operation is not allowed";
}

void Failed(TEVReply& Reply, const String& error) {
    Reply.SetResult("301");
    Reply.AddStringParam(error, 0);
}

}  // namespace

void ProcessAct_ExternalCmd(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!s->executeaction) {
        NotAllowed(Reply);
        return;
    }
    int unused = 0;
    int timeoutMs = 0;
    if (!DecodeIntParam(Req, 3, unused) || !DecodeIntParam(Req, 4, timeoutMs)) {
        ReplyWrongParameter(Reply);
        return;
    }
    const String command = ZeroTerminated(Req.GetParam(1, 1));
    if (command.Length() == 0) {
        ReplyMessage(Reply, "501", "Command line to execute is not specified");
        return;
    }
    const String workDir = ZeroTerminated(Req.GetParam(2, 1));
    int exitCode = 0;
    String error;
    // No limit of its own: the request's budget is the limit.
    if (!SystemEx(command.Data(), workDir.Length() > 0 ? workDir.Data() : nullptr,
                  LimitOrBudgetMs(timeoutMs), exitCode, error)) {
        Failed(Reply, timeoutMs == 0 && RequestBudgetSpent() ? String(kBudgetReachedText) : error);
        return;
    }
    Reply.SetResult("200");
    Reply.AddIntParam(exitCode);
}

void ProcessAct_Syslog(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!s->syslogaction) {
        NotAllowed(Reply);
        return;
    }
    const String host = ZeroTerminated(Req.GetParam(1, 1));
    int port = 0;
    int facility = 0;
    int severity = 0;
    if (host.Length() == 0 || !DecodePortParam(Req, 2, port) || !DecodeIntParam(Req, 3, facility) ||
        !DecodeIntParam(Req, 4, severity) || severity < ssEmergency || severity > ssDebug) {
        ReplyWrongParameter(Reply);
        return;
    }
    const String message = DecodeDataParam(Req, 5);
    String error;
    const int sent = SendToSysLog(host.Data(), port, facility, TSyslogSeverity(severity),
                                  String("Zo TEV"), message, error);
    if (sent <= 0) {
        Failed(Reply, error);
        return;
    }
    Reply.SetResult("200");
    Reply.AddStringParam(String("Syslog: Data to ") + host + " has been sent", 0);
}

void ProcessAct_TCPSend(const QVRequest& Req, TEVReply& Reply) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!s->tcpudpaction) {
        NotAllowed(Reply);
        return;
    }
    const String host = ZeroTerminated(Req.GetParam(1, 1));
    const String first = DecodeDataParam(Req, 4);
    int port = 0;
    int delaySeconds = 0;
    if (host.Length() == 0 || first.Length() == 0 || !DecodePortParam(Req, 2, port) ||
        !DecodeIntParam(Req, 5, delaySeconds)) {
        ReplyWrongParameter(Reply);
        return;
    }
    const String second = DecodeDataParam(Req, 6);
    // A delay beyond the request's budget would be a silent wait that ends
    // in nothing: answered at once, nothing sent.
    const bool delayed = second.Length() > 0 && delaySeconds > 0;
    if (delayed && (long long)delaySeconds * 1000 > RequestMsLeft()) {
        Failed(Reply, String(kBudgetReachedText));
        return;
    }
    TSyncSocket sock(Req.GetParam(3, 1) == "0" ? 1 : 2);
    if (sock.Connect(host.Data(), port, kActionSendLimitMs) != 1 ||
        sock.SendString(first, kActionSendLimitMs) <= 0) {
        Failed(Reply, sock.error);
        return;
    }
    if (second.Length() > 0) {
        // The pause ends early when the peer goes: nobody wants the rest.
        if (delayed && PauseForRequest((long long)delaySeconds * 1000) < 0) {
            Failed(Reply, String(kPeerGoneText));
            return;
        }
        sock.SendString(second, kActionSendLimitMs);
    }
    Reply.SetResult("200");
    Reply.AddStringParam("Data has been sent", 0);
}
