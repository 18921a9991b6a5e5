// Caps on the sessions in progress, in all and from any one peer address, so
// that strangers cannot tie up every thread, descriptor and byte of memory
// by opening connections and saying nothing. The last few sessions below
// each cap are a reserve that only the addresses that may manage or update
// the agent get, and only management requests may use, so that the server
// can still stop, restart or reconfigure an agent that its own long
// requests, or strangers, keep busy. A stranger's sessions never reach the
// reserve, in all or in its own count.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <unordered_map>

#include "core/threadsafety.h"
#include "core/zostring.h"

// Sessions in progress at most, in all.
const int MAX_SESSIONS = 512;
// Sessions in progress at most from one peer address. Well above what the
// monitoring server runs at once, well below MAX_SESSIONS, so one address
// cannot lock the others out.
const int MAX_SESSIONS_PER_PEER = 128;
// Sessions at the top of each cap kept for management requests.
const int SESSION_RESERVE = 4;

// What Admit decided for a new connection.
enum TAdmission {
    adRefused = 0,  // over a cap: close it
    adAdmitted,     // an ordinary session
    adReserve,      // a reserve session: management requests only
};

class TSessionLimits {
  public:
    // reserve: sessions at the top of each cap kept for management requests
    // (0 or more, below both caps).
    TSessionLimits(int totalCap, int perPeerCap, int reserve = 0)
        : maxTotal(totalCap), maxPerPeer(perPeerCap), reserved(reserve) {}
    TSessionLimits(const TSessionLimits&) = delete;
    TSessionLimits& operator=(const TSessionLimits&) = delete;

    // Counts a new session from peer: adAdmitted while both counts stay below
    // their caps less the reserve; adReserve when the session takes a
    // reserve place of either, which only a manager (a peer that may manage
    // or update the agent) gets; adRefused, counting nothing, when either
    // cap is reached, or a stranger's reserve would be. Any thread.
    TAdmission Admit(in_addr peer, bool manager);
    // Ends a session counted by Admit. Any thread.
    void Release(in_addr peer);
    // Sessions counted now.
    int InProgress() const;

  private:
    const int maxTotal;
    const int maxPerPeer;
    const int reserved;
    mutable TMutex session_limit_mutex;  // guards the two counts below
    int total TEV_GUARDED_BY(session_limit_mutex) = 0;
    // Only peers with sessions.
    std::unordered_map<uint32_t, int> perPeer TEV_GUARDED_BY(session_limit_mutex);
};

// The agent's caps (MAX_SESSIONS, MAX_SESSIONS_PER_PEER, SESSION_RESERVE).
extern TSessionLimits SessionLimits;
