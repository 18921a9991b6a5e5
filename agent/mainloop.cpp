#include "agent/mainloop.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "agent/cfgwarnings.h"
#include "agent/console.h"
#include "agent/pidfile.h"
#include "agent/pool.h"
#include "agent/runstate.h"
#include "agent/sessionlimits.h"
#include "agent/upgrade.h"
#include "config/settings.h"
#include "core/agentstatus.h"
#include "platform/privilege.h"
#include "platform/runningjobs.h"
#include "platform/sockets.h"
#include "platform/syserror.h"

extern char** environ;

int Listen(String& error) {
    return Listen(Settings()->port, error);
}

int Listen(int port, String& error) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    String host = s->host;
    host.SetZero();
    for (int attempt = 0; attempt < 3; attempt++) {
        const int fd = TcpListen(host.Length() ? host.Data() : nullptr, port, error);
        if (fd > 0) return fd;
        sleep(1);
    }
    return 0;
}

namespace {

// The pid file again, after a failed exec deleted it: a daemon that goes on
// running keeps its pid file.
void RewritePidFile(MainLoopState& st) {
    const std::shared_ptr<const TTEVSettings> s = Settings();
    if (st.pidfile < 0 && !s->interactive && s->pidfile.Length()) st.pidfile = createpidfile();
}

// Replaces the process image with path, keeping our arguments and
// environment; returns only when that failed. The listening socket is not
// closed here: it is close-on-exec, so the exec closes it, and after a failed
// exec the agent goes on serving on it without reopening the port. An agent
// that runs as an ordinary user hands its one capability on to the new image.
void Execute(MainLoopState& st, const String& program) {
    closepidfile(st.pidfile);
    st.pidfile = -1;
    ExecKeepingReadAll(ZeroTerminated(program).Data(), st.argv, environ);
}

// Ends the process with code after ending the running requests' children
// and removing their temporary files.
[[noreturn]] void EndAgent(MainLoopState& st, int code) {
    EndRunningChildren();
    closepidfile(st.pidfile);
    SettleThreadsForExit();
    ExitNow(code);
}

void CheckTerminate(MainLoopState& st) {
    if (!TEVFlags.terminate) return;
    showmessage("Terminate request received. Terminating..\n", NoPeer(), mtInfo, 0);
    EndAgent(st, 0);
}

void CheckRestart(MainLoopState& st) {
    if (!TEVFlags.reload) return;
    showmessage("Reload request received. Executing..\n", NoPeer(), mtInfo, 0);
    // The new image knows nothing of this one's requests: their children
    // and files end here.
    EndRunningChildren();
    Execute(st, Settings()->tevpath);
    ReopenRunningWork();
    showmessage("Error: cannot start new instance\n", NoPeer(), mtFailure, 0);
    TEVFlags.reload = 0;
    RewritePidFile(st);
}

void CheckUpgrade(MainLoopState& st) {
    if (!TEVFlags.runUpgradeScript) return;
    const String script = TEVFlags.GetUpgradeScript();
    if (script.Length() == 0) {  // nothing left to run: dropped already
        TEVFlags.runUpgradeScript = 0;
        return;
    }
    showmessage("Upgrade request received. Executing..\n", NoPeer(), mtInfo, 0);
    EndRunningChildren();
    if (!BecomeUpdateSupervisor()) {
        // Said on a line of its own: the upgrade goes on, but a rollback
        // can then end only the new program and its process group.
        String why = GetErrorStr(errno);
        why.SetZero();
        showmessage(
            "Upgrade: processes that leave the new program's process group cannot be "
            "followed (child subreaper: %s)\n",
            NoPeer(), mtInfo, 1, why.Data());
    }
    Execute(st, script);
    EndUpdateSupervisor();
    ReopenRunningWork();
    // Reported once: the upgrade is dropped (files deleted, slot free), and
    // the server may send it again.
    showmessage("Error: cannot start upgrading script\n", NoPeer(), mtFailure, 0);
    DropPendingUpgrade();
    TEVFlags.runUpgradeScript = 0;
    RewritePidFile(st);
}

void CheckPort(MainLoopState& st) {
    // Read once: the port compared is the port opened and the port recorded,
    // even when the setting changes again meanwhile.
    const int wanted = Settings()->port;
    if (wanted == st.port) return;
    WithdrawListener();
    CloseConnection(st.socket);
    String error;
    st.socket = Listen(wanted, error);
    if (st.socket > 0) {
        st.port = wanted;
        PublishListener(st.socket, st.port);
        showmessage("Server port switching .. Ok\n", NoPeer(), mtSuccess, 0);
        return;
    }
    showmessage("Error: cannot open new port for listening\n", NoPeer(), mtFailure, 0);
    const int previous = st.port;
    // A change made since is left for the next check. The file already
    // holds the port that failed; saved as it was, the next start would fail
    // on it, so the original port is written back too.
    String saveError;
    TEVSettings.UpdateAndSave(
        [previous, wanted](TTEVSettings& s) {
            if (s.port == wanted) s.port = previous;
        },
        saveError);
    st.socket = Listen(previous, error);
    if (st.socket > 0) {
        PublishListener(st.socket, st.port);
        showmessage("Return to original port\n", NoPeer(), mtFailure, 0);
        return;
    }
    showmessage("Cannot open original port either. Terminating\n", NoPeer(), mtFailure, 0);
    EndAgent(st, 4);
}

// SIGHUP only raises a flag; the reload happens here, outside the handler.
void CheckReloadConfig() {
    if (!TEVFlags.reloadcfg.exchange(0)) return;
    String error;
    TEVSettings.LoadOptions(error);
    ReportIgnoredCfgLines();
}

void RunStateChecks(MainLoopState& st) {
    ConfirmUpgradeWhenDue();
    CheckTerminate(st);
    CheckRestart(st);
    CheckUpgrade(st);
    CheckReloadConfig();
    CheckPort(st);
}

}  // namespace

int RunMainLoop(MainLoopState& st) {
    NoteUpgradeStart();  // started by an update script: watched until proven
    PublishListener(st.socket, st.port);
    for (;;) {
        RunStateChecks(st);
        if (AcceptFailedFatally()) EndAgent(st, 4);
        KeepThreadReady();
        WaitForWake(1000);
    }
}
