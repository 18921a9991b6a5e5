#include "agent/runflags.h"

std::mutex thread_mutex;
std::mutex upgrade_mutex;
TTEVFlags TEVFlags;

void TTEVFlags::SetUpgradeScript(const String& path) {
    std::lock_guard<std::mutex> lock(thread_mutex);
    upgradeScript = path;
    upgradeScriptSet = path.Length() > 0;
}

String TTEVFlags::GetUpgradeScript() const {
    std::lock_guard<std::mutex> lock(thread_mutex);
    return upgradeScript;
}

void RaiseRunRequest(TTEVFlags& flags, TRunRequest request) {
    if (request == rrTerminate) flags.terminate = 1;
    if (request == rrReload) flags.reload = 1;
}
