// The agent's identity texts and connection counters.
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
    std::atomic<int> FailedConnections;  // connections refused by the address filter
};

extern TAgentStatus AgentStatus;
