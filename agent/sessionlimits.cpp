#include "agent/sessionlimits.h"

TSessionLimits SessionLimits(MAX_SESSIONS, MAX_SESSIONS_PER_PEER, SESSION_RESERVE);

TAdmission TSessionLimits::Admit(in_addr peer, bool manager) {
    TLock lock(session_limit_mutex);
    if (total >= maxTotal) return adRefused;
    const auto it = perPeer.find(peer.s_addr);
    const int mine = it == perPeer.end() ? 0 : it->second;
    if (mine >= maxPerPeer) return adRefused;
    const bool ordinary = total < maxTotal - reserved && mine < maxPerPeer - reserved;
    if (!ordinary && !manager) return adRefused;
    perPeer[peer.s_addr] = mine + 1;
    total++;
    return ordinary ? adAdmitted : adReserve;
}

void TSessionLimits::Release(in_addr peer) {
    TLock lock(session_limit_mutex);
    const auto it = perPeer.find(peer.s_addr);
    if (it == perPeer.end()) return;
    if (--it->second <= 0) perPeer.erase(it);
    total--;
}

int TSessionLimits::InProgress() const {
    TLock lock(session_limit_mutex);
    return total;
}
