#include "agent/runstate.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "config/settings.h"

TTEVFlags TEVFlags;

void TTEVFlags::SetUpgradeScript(const String& path) {
    TLock lock(upgrade_script_mutex);
    upgradeScript = path;
    upgradeScriptSet = path.Length() > 0;
}

String TTEVFlags::GetUpgradeScript() const {
    TLock lock(upgrade_script_mutex);
    return upgradeScript;
}

void RaiseRunRequest(TTEVFlags& flags, TRunRequest request) {
    if (request == rrTerminate) flags.terminate = 1;
    if (request == rrReload) flags.reload = 1;
}

bool RunStateChangePending(int listeningPort) {
    return TEVFlags.terminate || TEVFlags.reload || TEVFlags.runUpgradeScript ||
           TEVFlags.reloadcfg || Settings()->port != listeningPort;
}

namespace {

// Counter that WakeMainLoop raises and WaitForWake drains; opened by the
// first wait, so that no descriptor exists in programs without a main loop.
std::atomic<int> wakeFd{-1};

}  // namespace

void WakeMainLoop() {
    const int fd = wakeFd.load();
    if (fd < 0) return;
    const uint64_t one = 1;
    const ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
}

void WaitForWake(int ms) {
    if (wakeFd.load() < 0) wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int fd = wakeFd.load();
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, fd < 0 ? 0 : 1, ms) <= 0 || fd < 0) return;
    uint64_t count = 0;
    const ssize_t ignored = read(fd, &count, sizeof count);
    (void)ignored;
}

void ExitNow(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}
