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
