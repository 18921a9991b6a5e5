#include "agent/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "agent/pidfile.h"
#include "agent/runflags.h"

extern char** environ;

namespace {

char restartPath[4096];
char** restartArgv = nullptr;

void WriteText(const char* text) {
    const ssize_t ignored = write(STDOUT_FILENO, text, strlen(text));
    (void)ignored;
}

void SetHandler(int sig, void (*handler)(int)) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

}  // namespace

void reloadcfg(int) {
    TEVFlags.reloadcfg = 1;
}

void reloadapp(int) {
    SetHandler(SIGSEGV, SIG_DFL);
    WriteText("Segmentation fault!!\n");
    if (std::time(nullptr) - TEVFlags.startTime <= 180 || !restartPath[0] || !restartArgv) {
        // Young or without a restart path: end now with the default action,
        // whether the fault would repeat or the signal came from outside.
        raise(SIGSEGV);
        return;
    }
    WriteText("Restarting..\n");
    TEVFlags.reload = 1;
    // The faulting thread cannot go on, so the restart happens here: the
    // listening socket and the pid file's lock go with the old image (both
    // are close-on-exec); only the pid file's name needs removing.
    const char* pid = PidFilePath();
    if (pid[0]) unlink(pid);
    execve(restartPath, restartArgv, environ);
    raise(SIGSEGV);  // the restart failed: end as a crash
}

void PrepareCrashRestart(const char* tevpath, char** argv) {
    std::strncpy(restartPath, tevpath ? tevpath : "", sizeof restartPath - 1);
    restartArgv = argv;
}

void InstallCrashHandlers() {
    SetHandler(SIGSEGV, reloadapp);
    SetHandler(SIGPIPE, SIG_IGN);
}

void InstallReloadHandler() {
    SetHandler(SIGHUP, reloadcfg);
}
