#include "agent/dispatch.h"

#include "agent/acceptor.h"
#include "agent/console.h"
#include "agent/sessionlimits.h"
#include "config/agentinfo.h"
#include "config/settings.h"
#include "handlers/actions.h"
#include "handlers/filecompare.h"
#include "handlers/filelist.h"
#include "handlers/filetests.h"
#include "handlers/nettests.h"
#include "handlers/scripttests.h"
#include "handlers/stubs.h"
#include "handlers/textlog.h"
#include "platform/ipfilter.h"
#include "protocol/valueforms.h"

namespace {

typedef void (*Handler)(const QVRequest&, TEVReply&);

struct Command {
    const char* name;
    Handler handler;
    // Answers from memory at once: no file, process, network or lock that
    // someone may hold for long. Other handlers may take long, so the
    // session first gives up its duty to accept (MayBlock).
    bool quick;
};

// Compared in this order, exactly and case-sensitively.
const Command kCommands[] = {
    {"TEST-UNC", ProcessTest_UNC, false},
    {"TEST-DiskSpace", ProcessTest_DiskSpace, true},
    {"TEST-FolderSize", ProcessTest_FolderSize, false},
    {"TEST-FileExists", ProcessTest_FileExists, false},
    {"TEST-FileCompare", ProcessTest_FileCompare, false},
    {"TEST-FileCRC", ProcessTest_FileCRC, false},
    {"TEST-CountFiles", ProcessTest_CountFiles, false},
    {"TEST-Process", ProcessTest_Process, false},
    {"TEST-Service", ProcessTest_Service, true},
    {"TEST-NTLog", ProcessTest_NTLog, true},
    {"TEST-CPU", ProcessTest_CPU, false},
    {"TEST-PerfCounter", ProcessTest_Perf, true},
    {"TEST-Script", ProcessTest_Script, true},
    {"TEST-SNMP", ProcessTest_SNMP, true},
    {"TEST-ExternalPrg", ProcessTest_External, false},
    {"TEST-Ping", ProcessTest_Ping, true},
    {"TEST-TCP", ProcessTest_TCP, false},
    {"TEST-UDP", ProcessTest_UDP, false},
    {"TEST-TextLog", ProcessTest_TextLog, false},
    {"TEST-TextLog2", ProcessTest_TextLog2, false},
    {"TEST-ShellScript", ProcessTest_ShellScript, false},
    {"ACT-ExternalCmd", ProcessAct_ExternalCmd, false},
    {"ACT-TCPUDPsend", ProcessAct_TCPSend, false},
    {"ACT-Syslog", ProcessAct_Syslog, false},
    {"GetProcessesList", ProcessInfo_ProcessesList, false},
    {"GetServicesList", ProcessInfo_ServicesList, true},
    {"GetEventLogFiles", ProcessInfo_EventLogFiles, true},
    {"GetEventLogSources", ProcessInfo_EventLogSources, true},
    {"GetDriveList", ProcessInfo_GetDriveList, true},
    {"GetFilesList", ProcessInfo_GetFileList, false},
    {"GetInfo", GetAgentStatus, true},
};

void NotAllowed(TEVReply& Reply) {
    Reply.SetResult("600");
    Reply += "Operation is not allowed";
}

bool HasRight(int allowed, const String& list, in_addr peer) {
    String error;
    return allowed && IPAllowed(peer.s_addr, list, error);
}

// "ReloadCfg", "ReloadApp", "QUIT", "GetSettings", "SetSettings".
bool Management(const String& command, const QVRequest& Params, TEVReply& Reply, TRunRequest& after,
                in_addr peer) {
    const bool known = command == "ReloadCfg" || command == "ReloadApp" || command == "QUIT" ||
                       command == "GetSettings" || command == "SetSettings";
    if (!known) return false;
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!HasRight(s->allowmanage, s->manageaddr, peer)) {
        NotAllowed(Reply);
        return true;
    }
    if (command == "GetSettings") {
        GetAgentSettings(Params, Reply);
    } else if (command == "SetSettings") {
        SetAgentSettings(Params, Reply);
    } else if (command == "ReloadCfg") {
        String error;
        if (TEVSettings.LoadOptions(error)) {
            Reply.SetResult("200");
            Reply += "Ok";
        } else {
            Reply.SetResult("300");
            Reply += error;
        }
    } else {
        Reply.SetResult("200");
        Reply += "Ok";
        after = command == "QUIT" ? rrTerminate : rrReload;
    }
    return true;
}

// Smallest and largest program file an upgrade may announce.
const long long kMinUpgradeSize = 101;
const long long kMaxUpgradeSize = 10485759;

void UpgradeCode(const QVRequest& Params, TEVReply& Reply, in_addr peer, const String& key,
                 UpgradeRec& Upgrade) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (!HasRight(s->allowupdates, s->updateaddr, peer)) {
        NotAllowed(Reply);
        return;
    }
    if (!RequestUpgrade(Upgrade, key)) {
        Reply.SetResult("302");
        return;
    }
    Upgrade.fileSize = tevDecodeInt64(Params.GetParam(1, 0));
    if (Upgrade.fileSize < kMinUpgradeSize || Upgrade.fileSize > kMaxUpgradeSize) {
        Reply.SetResult("501");
        Reply += "Wrong file parameter(s)";
        ClearanceUpgrade(Upgrade);
        return;
    }
    String error;
    if (DoUpgrading(Upgrade, nullptr, 0, error)) {
        Reply.SetResult("200");
        return;
    }
    Reply.SetResult("300");
    Reply += error;
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
    for (const Command& c : kCommands) {
        if (command == c.name) {
            if (!c.quick) MayBlock();
            c.handler(parameters, Reply);
            return 1;
        }
    }
    // Management and upgrade requests read or write files.
    MayBlock();
    if (Management(command, parameters, Reply, after, Params.address)) return 1;
    if (command == "UpgradeCode") {
        UpgradeCode(parameters, Reply, Params.address, Req.GetSessionKey(), Upgrade);
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
