#include "agent/adminrequests.h"

#include "agent/cfgwarnings.h"
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
