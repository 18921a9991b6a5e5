#include "agent/dispatch.h"

#include "agent/console.h"
#include "agent/sessionlimits.h"
#include "config/settings.h"
#include "platform/ipfilter.h"
#include "platform/requestnotes.h"

namespace {

bool HasRight(int allowed, const String& list, in_addr peer) {
    String error;
    return allowed && IPAllowed(peer.s_addr, list, error);
}

// The dispatcher's own check for the commands that act on the agent.
bool Allowed(TCommandAccess access, in_addr peer) {
    if (access == caHandler) return true;
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (access == caManage) return HasRight(s->allowmanage, s->manageaddr, peer);
    return HasRight(s->allowupdates, s->updateaddr, peer);
}

// Logs what the handler noted about the request: how it was served in the
// verbose log, what it passed over in the failure log.
void ReportNotes(in_addr peer) {
    std::vector<TRequestNote> notes;
    TakeRequestNotes(notes);
    for (const TRequestNote& n : notes) {
        const String text = ZeroTerminated(n.text);
        showmessage("%s\n", peer, n.kind == nkWarning ? mtFailure : mtInfo, 1, text.Data());
    }
}

}  // namespace

void SplitRequest(const QVRequest& Req, TRequestLine& line) {
    line.terminated = Req.Pos('\r') != 0;
    if (!line.terminated) return;
    const int lf = Req.Pos('\n');
    if (lf) {
        line.command = Req.Copy(1, lf - 1);
        line.parameters = Req.Copy(lf + 1, Req.Length());
    } else {
        line.command = Req;
    }
    line.command.Trim();
    if (line.command.Length()) line.def = FindCommand(line.command);
}

int DispatchRequest(const TRequestLine& line, const String& sessionKey, TEVReply& Reply,
                    const TConnection& conn, UpgradeRec& Upgrade, TRunRequest& after) {
    after = rrNone;
    if (!line.terminated) {
        showmessage("EndOfTransmission signal missed\n", conn.address, mtFailure, 0);
        Reply.SetResult("502");
        Reply += "EndOfTransmission signal missed";
        return 0;
    }
    if (line.command.Length() == 0) {
        showmessage("Void request received\n", conn.address, mtFailure, 0);
        Reply.SetResult("500");
        Reply += "Void request received";
        return 0;
    }
    // The last sessions below the caps are kept for managing the agent.
    if (conn.reserve && !ServedOnReserve(line.command)) {
        Reply.SetResult("600");
        Reply += "Agent is busy: only management requests are served now";
        return 0;
    }
    const TCommandDef* c = line.def;
    if (c) {
        if (!Allowed(c->access, conn.address)) {
            Reply.SetResult("600");
            Reply += "Operation is not allowed";
            return 1;
        }
        if (c->handler) {
            c->handler(line.parameters, Reply);
        } else {
            TCommandContext context{conn.address, sessionKey, &Upgrade, rrNone};
            c->contextHandler(line.parameters, Reply, context);
            after = context.after;
        }
        ReportNotes(conn.address);
        return 1;
    }
    const String command = ZeroTerminated(line.command);
    showmessage("Unknown command \"%s\"\n", conn.address, mtFailure, 1, command.Data());
    Reply.SetResult("500");
    Reply += "Unknown command \"";
    Reply += line.command;
    Reply += "\"";
    return 0;
}

int ProcessQVRequest(const QVRequest& Req, TEVReply& Reply, const TConnection& conn,
                     UpgradeRec& Upgrade, TRunRequest& after) {
    TRequestLine line;
    SplitRequest(Req, line);
    return DispatchRequest(line, Req.GetSessionKey(), Reply, conn, Upgrade, after);
}
