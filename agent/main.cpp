// tev: the monitoring agent's entry point. Start-up runs in a fixed order,
// printing one progress line a step, then the main loop keeps the
// listening socket and the run state while the pool serves requests.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent/cfgwarnings.h"
#include "agent/console.h"
#include "agent/mainloop.h"
#include "agent/pidfile.h"
#include "agent/runas.h"
#include "agent/runstate.h"
#include "agent/signals.h"
#include "agent/startup.h"
#include "config/settings.h"
#include "platform/childreaper.h"
#include "platform/nameservices.h"
#include "platform/privilege.h"
#include "platform/sockets.h"
#include "platform/tempcreate.h"

namespace {

void LoadConfiguration() {
    Print("Ok\nSettings checking .. ");
    String error;
    const int ok = TEVSettings.LoadOptions(error);
    error.SetZero();
    if (!ok) {
        Print("Error\n%s\nPlease check '%s' file\n\n", error.Data(), Settings()->cfgfile);
        std::exit(1);
    }
    if (error.Length())
        Print("Warning: %s\n", error.Data());
    else
        Print("Ok\n");
    TStrList warnings;
    IgnoredCfgLineWarnings(warnings);
    for (int i = 0; i < warnings.Count(); i++) {
        String line = warnings[i];
        line.SetZero();
        Print("%s\n", line.Data());
    }
}

void CpuCheck() {
    Print("CPU testing .. Ok\n");
    if (!Settings()->debug) return;
    Print("stat.size: %d\n", int(sizeof(off_t)));
    Print("srec.size: %d\n", int(sizeof(long long)));
    Print("int64 = long long\n");
}

void SockCheck() {
    Print("Sock testing .. ");
    String error;
    const int fd = Listen(error);
    if (!fd) {
        error.SetZero();
        Print("TCP listen error:\n%s\n\n", error.Data());
        std::exit(4);
    }
    Print("Ok\n");
    CloseConnection(fd);
}

}  // namespace

int main(int argc, char** argv) {
#if TEV_STATIC_PROGRAM
    UseBuiltinNameServices();
#endif
    OpenStandardDescriptors();
    // As an ordinary user: CAP_DAC_READ_SEARCH alone, nothing inheritable.
    KeepOnlyReadAll();
    ClearSignalMask();
    RaiseDescriptorLimit();
    const int done = RunLongOption(argc, argv);
    if (done >= 0) return done;
    PrintBanner();
    Print("Command line checking .. ");
    ParseCommandLine(argc, argv);
    LoadConfiguration();
    CpuCheck();
    EncryptionChecks();
    SockCheck();
    CheckRunAsPort(Settings()->port);

    // Before a daemon's fork: the files of an image before a restart carry
    // this process's pid, which the daemon will not have.
    RemoveStaleTempFiles(ZeroTerminated(Settings()->tmpdir).Data());
    const bool interactive = Settings()->interactive != 0;
    if (!interactive && daemon_init() < 0) {
        std::fprintf(stderr, "Error initializing daemon: %s\n", std::strerror(errno));
        return 2;
    }
    AdoptInheritedChildren();  // a restart's children of the image before
    String tevpath = Settings()->tevpath;
    tevpath.SetZero();
    PrepareCrashRestart(tevpath.Data(), argv);
    InstallCrashHandlers();

    MainLoopState state;
    String error;
    state.socket = Listen(error);
    if (!state.socket) {
        error.SetZero();
        Print("TCP listen error: %s\n\n", error.Data());
        return 4;
    }
    state.pidfile = (!interactive && Settings()->pidfile.Length()) ? createpidfile() : -1;
    if (!BecomeRunAsUser()) {  // port and pid file open: now the user of -u
        closepidfile(state.pidfile);
        ExitNow(1);
    }
    daemon_ready();
    state.argv = argv;
    state.port = Settings()->port;
    showmessage("Listening...\n", NoPeer(), mtInfo, 0);
    ReportConfigurationAtStart();
    ExitNow(RunMainLoop(state));
}
