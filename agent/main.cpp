// tev: the monitoring agent's entry point. Start-up runs in a fixed order,
// printing one progress line a step, then the accept loop serves requests.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent/console.h"
#include "agent/listener.h"
#include "agent/pidfile.h"
#include "agent/session.h"
#include "agent/signals.h"
#include "agent/startup.h"
#include "config/settings.h"
#include "platform/childreaper.h"

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
    unsigned int addrlen = 0;
    String error;
    const int fd = Listen(addrlen, error);
    if (!fd) {
        error.SetZero();
        Print("TCP listen error:\n%s\n\n", error.Data());
        std::exit(4);
    }
    Print("Ok\n");
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    OpenStandardDescriptors();
    ClearSignalMask();
    RaiseDescriptorLimit();
    PrintBanner();
    Print("Command line checking .. ");
    ParseCommandLine(argc, argv);
    LoadConfiguration();
    CpuCheck();
    EncryptionChecks();
    SockCheck();

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

    ListenerState state;
    String error;
    state.socket = Listen(state.addrlen, error);
    if (!state.socket) {
        error.SetZero();
        Print("TCP listen error: %s\n\n", error.Data());
        return 4;
    }
    state.pidfile = (!interactive && Settings()->pidfile.Length()) ? createpidfile() : -1;
    daemon_ready();
    state.argv = argv;
    state.port = Settings()->port;
    showmessage("Listening...\n", NoPeer(), mtInfo, 0);
    ExitNow(AcceptLoop(state));
}
