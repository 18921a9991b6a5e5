// The pool's threads as seen from outside the real agent: a thread that gave
// up its duty to take work for a slow request is parked afterwards and woken
// for the next one, not replaced by a new thread each time; after a burst,
// the threads beyond the spares end once idle.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/threads.h"
#include "agent_harness.h"
#include "loopback_peers.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::NowMs;
using agent_harness_detail::SleepMs;

// The thread ids of process pid.
std::set<int> Threads(pid_t pid) {
    std::set<int> ids;
    const std::string path = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(path.c_str());
    if (!d) return ids;
    while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.') ids.insert(std::stoi(e->d_name));
    closedir(d);
    return ids;
}

// Each slow request (TEST-TCP against a peer that never answers) makes its
// thread stop taking work and another take over. Once as many threads
// exist as one slow request at a time needs, the same ones serve every
// further request: the one that finished parks and is woken next time.
TEST(PoolE2E, AParkedThreadIsReusedForTheNextSlowRequest) {
    AgentHarness agent;
    ASSERT_TRUE(agent.Start("tcp=1\ntimeout=2000\n")) << agent.Output();
    loopback::TcpPeer silent(loopback::TcpPeer::kSilent);
    ASSERT_TRUE(silent.ok());
    const std::string slow =
        "TEST-TCP\n127.0.0.1\n" + std::to_string(silent.port()) + "\n100\nping\n10\n\r";
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(wire::Ask(agent.port, agent.password, slow).substr(0, 4), "301\n");
    const std::set<int> warm = Threads(agent.pid);
    ASSERT_FALSE(warm.empty());
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(wire::Ask(agent.port, agent.password, slow).substr(0, 4), "301\n");
    // A thread that has just finished may not be parked yet when the next
    // request comes (a loaded or instrumented run): allow a spare or two,
    // never one per request.
    int fresh = 0;
    for (int id : Threads(agent.pid)) fresh += warm.count(id) == 0 ? 1 : 0;
    EXPECT_LE(fresh, 2) << "new threads for 10 slow requests";
}

// A burst of slow requests at once needs a thread each; once they are
// answered and the idle limit (lowered here through TEV_IDLE_THREAD_MS) has
// passed, the agent is back to its resting threads and the spares.
TEST(PoolE2E, ThreadsBeyondTheSparesEndOnceIdle) {
    loopback::TcpPeer silent(loopback::TcpPeer::kSilent);
    ASSERT_TRUE(silent.ok());
    AgentHarness agent;
    setenv("TEV_IDLE_THREAD_MS", "300", 1);
    const bool started = agent.Start("tcp=1\n");
    unsetenv("TEV_IDLE_THREAD_MS");
    ASSERT_TRUE(started) << agent.Output();
    ASSERT_EQ(wire::Ask(agent.port, agent.password, "GetInfo\n\r").substr(0, 4), "200\n");
    const size_t resting = Threads(agent.pid).size();
    const int kBurst = 16;
    const std::string slow =
        "TEST-TCP\n127.0.0.1\n" + std::to_string(silent.port()) + "\n3000\nping\n10\n\r";
    std::vector<std::string> replies(kBurst);
    std::vector<std::thread> clients;
    for (int i = 0; i < kBurst; i++)
        clients.emplace_back([&, i] { replies[i] = wire::Ask(agent.port, agent.password, slow); });
    // While the requests wait on the silent peer, each holds a thread.
    size_t busiest = 0;
    const long long t0 = NowMs();
    while (busiest < resting + kBurst && NowMs() - t0 < 20000) {
        busiest = std::max(busiest, Threads(agent.pid).size());
        SleepMs(20);
    }
    for (std::thread& t : clients) t.join();
    for (const std::string& r : replies) EXPECT_EQ(r.substr(0, 4), "301\n");
    EXPECT_GE(busiest, resting + kBurst);
    size_t now = busiest;
    const long long t1 = NowMs();
    while ((now = Threads(agent.pid).size()) > resting + kSpareThreads && NowMs() - t1 < 30000)
        SleepMs(50);
    EXPECT_LE(now, resting + kSpareThreads);
    // The spares and a new ready thread serve on.
    EXPECT_EQ(wire::Ask(agent.port, agent.password, "GetInfo\n\r").substr(0, 4), "200\n");
}

}  // namespace
