#include "agent/sessionlimits.h"

TSessionLimits SessionLimits(MAX_SESSIONS, MAX_SESSIONS_PER_PEER);

bool TSessionLimits::Admit(in_addr peer) {
    std::lock_guard<std::mutex> lock(session_limit_mutex);
    if (total >= maxTotal) return false;
    int& mine = perPeer[peer.s_addr];
    if (mine >= maxPerPeer) return false;
    mine++;
    total++;
    return true;
}

void TSessionLimits::Release(in_addr peer) {
    std::lock_guard<std::mutex> lock(session_limit_mutex);
    const auto it = perPeer.find(peer.s_addr);
    if (it == perPeer.end()) return;
    if (--it->second <= 0) perPeer.erase(it);
    total--;
}

int TSessionLimits::InProgress() const {
    std::lock_guard<std::mutex> lock(session_limit_mutex);
    return total;
}
