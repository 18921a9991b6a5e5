// The agent's identity texts and connection counters, reported by GetInfo
// and the start-up banner.
#pragma once

#include <atomic>

struct TAgentStatus {
    const char* Tag;
    int TagNumber;
    const char* AgentName;
    const char* AgentPlatform;
    const char* AgentVersion;
    const char* AgentDeveloper;
    int Service;
    int Active;
    std::atomic<int> ActiveConnections;  // sessions running now
    std::atomic<int> OpenedConnections;  // sessions started since start-up
    // Connections closed by the accept loop before any request was read,
    // since start-up: refused by the address filter, refused because the
    // session caps were reached (all sessions, or those of one address), or
    // shed (accepted and closed at once) to free a descriptor when the agent
    // had run out of them.
    std::atomic<int> FailedConnections;
};

extern TAgentStatus AgentStatus;
