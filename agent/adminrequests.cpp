#include "agent/adminrequests.h"

#include "agent/cfgwarnings.h"
#include "agent/console.h"
#include "agent/upgrade.h"
#include "config/settings.h"
#include "protocol/valueforms.h"

namespace {

void ReplyOk(TEVReply& Reply) {
    Reply.SetResult("200");
    Reply += "Ok";
}

// Smallest and largest program file an upgrade may announce.
const long long kMinUpgradeSize = 101;
const long long kMaxUpgradeSize = 10485759;

}  // namespace

void ProcessAdmin_ReloadCfg(const QVRequest&, TEVReply& Reply, TCommandContext&) {
    String error;
    const int ok = TEVSettings.LoadOptions(error);
    ReportIgnoredCfgLines();
    if (ok) {
        ReplyOk(Reply);
        return;
    }
    Reply.SetResult("300");
    Reply += error;
}

void ProcessAdmin_Quit(const QVRequest&, TEVReply& Reply, TCommandContext& Context) {
    ReplyOk(Reply);
    Context.after = rrTerminate;
}

void ProcessAdmin_ReloadApp(const QVRequest&, TEVReply& Reply, TCommandContext& Context) {
    ReplyOk(Reply);
    Context.after = rrReload;
}

void ProcessAdmin_UpgradeCode(const QVRequest& Params, TEVReply& Reply, TCommandContext& Context) {
    UpgradeRec& upgrade = *Context.upgrade;
    // Refused before any byte is sent when the program file cannot be
    // replaced (a package's root-owned /usr/sbin/tev under the agent's own
    // user): the transfer would only end in a rollback.
    String reason;
    if (!CanReplaceProgram(Settings()->tevpath, reason)) {
        const String text = ZeroTerminated(reason);
        showmessage("Upgrade refused: %s\n", Context.peer, mtFailure, 1, text.Data());
        Reply.SetResult("600");
        Reply.AddStringParam("Operation is not allowed", 0);
        Reply.AddStringParam(String("Cannot replace the program file: ") + reason, 1);
        return;
    }
    if (!RequestUpgrade(upgrade, Context.sessionKey)) {
        Reply.SetResult("302");
        return;
    }
    upgrade.fileSize = tevDecodeInt64(Params.GetParam(1, 0));
    if (upgrade.fileSize < kMinUpgradeSize || upgrade.fileSize > kMaxUpgradeSize) {
        Reply.SetResult("501");
        Reply += "Wrong file parameter(s)";
        ReleaseUpgradeSlot(upgrade);
        return;
    }
    String error;
    if (DoUpgrading(upgrade, nullptr, 0, error)) {
        Reply.SetResult("200");
        return;
    }
    Reply.SetResult("300");
    Reply += error;
}
