#include "agent/dispatch.h"

#include "agent/acceptor.h"
#include "agent/commands.h"
#include "agent/console.h"
#include "agent/sessionlimits.h"
#include "config/settings.h"
#include "platform/ipfilter.h"

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

}  // namespace

int ProcessQVRequest(QVRequest& Req, TEVReply& Reply, TTEVFlags&, ThreadParams Params,
                     UpgradeRec& Upgrade, TRunRequest& after) {
    after = rrNone;
    if (!Req.Pos('\r')) {
        showmessage("EndOfTransmission signal missed\n", Params.address, mtFailure, 0);
        Reply.SetResult("502");
        Reply += "EndOfTransmission signal missed";
        return 0;
    }
    String command;
    QVRequest parameters;
    const int lf = Req.Pos('\n');
    if (lf) {
        command = Req.Copy(1, lf - 1);
        parameters = Req.Copy(lf + 1, Req.Length());
    } else {
        command = Req;
    }
    command.Trim();
    if (command.Length() == 0) {
        showmessage("Void request received\n", Params.address, mtFailure, 0);
        Reply.SetResult("500");
        Reply += "Void request received";
        return 0;
    }
    // The last sessions below the caps are kept for managing the agent.
    if (Params.reserve && !ServedOnReserve(command)) {
        Reply.SetResult("600");
        Reply += "Agent is busy: only management requests are served now";
        return 0;
    }
    const TCommandDef* c = FindCommand(command);
    if (c) {
        if (!c->quick) MayBlock();
        if (!Allowed(c->access, Params.address)) {
            Reply.SetResult("600");
            Reply += "Operation is not allowed";
            return 1;
        }
        if (c->handler) {
            c->handler(parameters, Reply);
        } else {
            TCommandContext context{Params.address, Req.GetSessionKey(), &Upgrade, rrNone};
            c->contextHandler(parameters, Reply, context);
            after = context.after;
        }
        return 1;
    }
    command.SetZero();
    showmessage("Unknown command \"%s\"\n", Params.address, mtFailure, 1, command.Data());
    Reply.SetResult("500");
    Reply += "Unknown command \"";
    Reply += command;
    Reply += "\"";
    return 0;
}
