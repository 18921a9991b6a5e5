// Caps on the sessions in progress, in all and from any one peer address, so
// that strangers cannot tie up every thread, descriptor and byte of memory
// by opening connections and saying nothing.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>

// Sessions in progress at most, in all.
const int MAX_SESSIONS = 512;
// Sessions in progress at most from one peer address. Well above what the
// monitoring server runs at once, well below MAX_SESSIONS, so one address
// cannot lock the others out.
const int MAX_SESSIONS_PER_PEER = 128;

class TSessionLimits {
  public:
    TSessionLimits(int totalCap, int perPeerCap) : maxTotal(totalCap), maxPerPeer(perPeerCap) {}
    TSessionLimits(const TSessionLimits&) = delete;
    TSessionLimits& operator=(const TSessionLimits&) = delete;

    // Counts a new session from peer and returns true, or returns false and
    // counts nothing when either cap is reached. Any thread.
    bool Admit(in_addr peer);
    // Ends a session counted by Admit. Any thread.
    void Release(in_addr peer);
    // Sessions counted now.
    int InProgress() const;

  private:
    const int maxTotal;
    const int maxPerPeer;
    mutable std::mutex session_limit_mutex;  // guards the two counts below
    int total = 0;
    std::unordered_map<uint32_t, int> perPeer;  // only peers with sessions
};

// The agent's caps (MAX_SESSIONS, MAX_SESSIONS_PER_PEER).
extern TSessionLimits SessionLimits;
