#include "agent/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "agent/pidfile.h"
#include "agent/runstate.h"
#include "platform/privilege.h"

extern char** environ;

namespace {

char restartPath[4096];
char** restartArgv = nullptr;

void WriteText(const char* text) {
    const ssize_t ignored = write(STDOUT_FILENO, text, strlen(text));
    (void)ignored;
}

// The crash handler runs on a stack of its own, so that a stack overflow
// reaches it; each thread has its own alternate stack.
const size_t kAltStackSize = 64 * 1024;

void SetHandler(int sig, void (*handler)(int)) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    if (sig == SIGSEGV) sa.sa_flags = SA_ONSTACK;
    sigaction(sig, &sa, nullptr);
}

// Unblocks SIGSEGV in the calling thread: a blocked mask survives exec, and
// a blocked SIGSEGV kills without a word.
void UnblockCrashSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGSEGV);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

void reloadcfg(int) {
    TEVFlags.reloadcfg = 1;
}

void terminateapp(int) {
    TEVFlags.terminate = 1;
    WakeMainLoop();  // a write on an eventfd: async-signal-safe
}

void crashhandler(int) {
    SetHandler(SIGSEGV, SIG_DFL);
    WriteText("Segmentation fault!!\n");
    if (NowMs() - TEVFlags.startMs <= 180000 || !restartPath[0] || !restartArgv) {
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
    // The handler runs with SIGSEGV blocked; the new image must not inherit
    // that, or its first crash would end it silently.
    UnblockCrashSignal();
    ExecKeepingReadAll(restartPath, restartArgv, environ);
    raise(SIGSEGV);  // the restart failed: end as a crash
}

void PrepareCrashRestart(const char* tevpath, char** argv) {
    std::strncpy(restartPath, tevpath ? tevpath : "", sizeof restartPath - 1);
    restartArgv = argv;
}

void InstallCrashHandlers() {
    InstallAltStack();  // the main thread's, kept for the life of the process
    SetHandler(SIGSEGV, crashhandler);
    SetHandler(SIGTERM, terminateapp);
    // Ctrl-C on an agent in the foreground ends it as SIGTERM does, its
    // running work included, instead of killing it where it stands.
    SetHandler(SIGINT, terminateapp);
    SetHandler(SIGPIPE, SIG_IGN);
}

void ClearSignalMask() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void* InstallAltStack() {
    void* mem = std::malloc(kAltStackSize);
    if (!mem) return nullptr;
    stack_t st;
    std::memset(&st, 0, sizeof st);
    st.ss_sp = mem;
    st.ss_size = kAltStackSize;
    if (sigaltstack(&st, nullptr) != 0) {
        std::free(mem);
        return nullptr;
    }
    return mem;
}

void RemoveAltStack(void* stack) {
    if (!stack) return;
    stack_t st;
    std::memset(&st, 0, sizeof st);
    st.ss_flags = SS_DISABLE;
    sigaltstack(&st, nullptr);
    std::free(stack);
}

void InstallReloadHandler() {
    SetHandler(SIGHUP, reloadcfg);
}
