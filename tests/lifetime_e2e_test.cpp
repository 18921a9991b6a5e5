// No work outlives its purpose, end to end: a request whose peer has gone
// stops (and kills its child), a delay beyond the request's budget is
// refused, script output is capped, the last sessions are kept for managing
// the agent, numbers that do not fit are refused, SIGTERM ends the agent as
// QUIT does, and children that run across a restart are reaped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "loopback_peers.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;
using runstate::Count;
using runstate::Entries;
using runstate::NowMs;
using runstate::SleepMs;

const int kWaitMs = 15000;  // generous: the machine is shared and busy
const char kRights[] =
    "external=1\nshellscript=1\ntcp=1\nudp=1\ntcpudpaction=1\nexecuteaction=1\n"
    "countfiles=1\nprocess=1\nallowmanage=1\nmanageaddr=127.0.0.1\n";

std::string Body(const std::vector<std::string>& lines) {
    std::string body;
    for (const std::string& l : lines) body += l + "\n";
    return body + "\r";
}

// The children of pid (any state) with their command names.
std::vector<std::string> Children(int pid) {
    std::vector<std::string> found;
    for (const std::string& e : Entries("/proc")) {
        if (e.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = ReadWholeFile("/proc/" + e + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + paren + 1, " %c %d", &state, &ppid) != 2 || ppid != pid) continue;
        found.push_back(stat.substr(stat.find('(') + 1, paren - stat.find('(') - 1) + " " + state);
    }
    return found;
}

// Waits until pid has no children; returns what is left.
std::vector<std::string> WaitNoChildren(int pid, int ms) {
    const long long deadline = NowMs() + ms;
    std::vector<std::string> left = Children(pid);
    while (!left.empty() && NowMs() < deadline) {
        SleepMs(50);
        left = Children(pid);
    }
    return left;
}

class LifetimeE2E : public ::testing::Test {
  protected:
    void Start(const std::string& extra = "") {
        tmp = work.path + "/tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
        ASSERT_TRUE(agent.Start(std::string(kRights) + "tmpdir=" + tmp + "\n" + extra))
            << agent.Output();
    }
    std::string Ask(const std::vector<std::string>& lines) {
        std::string reply = wire::AskLines(agent, lines);
        return reply;
    }
    // ActiveConnections as GetInfo reports it (its own session included).
    std::string Active() { return wire::Value(Ask({"GetInfo"}), "ActiveConnections"); }
    bool WaitActive(const std::string& n) {
        const long long deadline = NowMs() + kWaitMs;
        while (Active() != n) {
            if (NowMs() >= deadline) return false;
            SleepMs(100);
        }
        return true;
    }

    runstate::TempDir work;
    AgentHarness agent;
    std::string tmp;
};

// A request whose server gives up is not worked on any longer: its waits
// end, its child is killed, and its session no longer counts as active.
TEST_F(LifetimeE2E, WorkStopsWhenThePeerCloses) {
    Start();
    loopback::UdpPeer silentUdp(loopback::UdpPeer::kRecord);
    loopback::TcpPeer silentTcp(loopback::TcpPeer::kSilent);
    loopback::TcpPeer recorder(loopback::TcpPeer::kRecord);
    ASSERT_TRUE(silentUdp.ok() && silentTcp.ok() && recorder.ok());
    const std::string udp = std::to_string(silentUdp.port());
    const std::string tcp = std::to_string(silentTcp.port());
    const std::string rec = std::to_string(recorder.port());
    struct Case {
        const char* name;
        std::vector<std::string> request;
    } cases[] = {
        {"UDP attempts", {"TEST-UDP", "127.0.0.1", udp, "1000", "100000", "hello", "100"}},
        {"TCP answer", {"TEST-TCP", "127.0.0.1", tcp, "300000", "hello", "100"}},
        {"send delay", {"ACT-TCPUDPsend", "127.0.0.1", rec, "0", "first", "300", "second"}},
        {"external program", {"TEST-ExternalPrg", "sleep 300", "", "", "0"}},
        {"external command", {"ACT-ExternalCmd", "sleep 301", "", "0", "0"}},
        {"shell script", {"TEST-ShellScript", "sh %script%", "sleep 302", "", "0", "0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            wire::Connection conn(agent.port);
            ASSERT_TRUE(conn.Send(wire::Packet(agent.password, Body(c.request))));
            SleepMs(700);  // the work has started
            EXPECT_EQ(Active(), "2");
        }
        const long long closed = NowMs();
        EXPECT_TRUE(WaitActive("1"));
        EXPECT_LT(NowMs() - closed, 5000);
        EXPECT_EQ(WaitNoChildren(agent.pid, kWaitMs), std::vector<std::string>{});
    }
    EXPECT_EQ(recorder.Received(), "first");  // the second block never left
    EXPECT_EQ(Entries(tmp), std::vector<std::string>{});
}

// Work that cannot end within the request's budget is answered at once.
TEST_F(LifetimeE2E, DelayBeyondTheBudgetIsRefusedAtOnce) {
    Start();
    loopback::TcpPeer recorder(loopback::TcpPeer::kRecord);
    ASSERT_TRUE(recorder.ok());
    const std::string rec = std::to_string(recorder.port());
    struct Case {
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {{"ACT-TCPUDPsend", "127.0.0.1", rec, "0", "first", "1000000", "second"},
         "301\nRequest time budget reached\n"},
        {{"ACT-TCPUDPsend", "127.0.0.1", rec, "0", "first", "601", "second"},
         "301\nRequest time budget reached\n"},
        {{"ACT-TCPUDPsend", "127.0.0.1", rec, "0", "only", "1000000", ""},
         "200\nData has been sent\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[5]);
        const long long start = NowMs();
        EXPECT_EQ(Ask(c.request), c.reply);
        EXPECT_LT(NowMs() - start, 5000);
    }
    SleepMs(200);
    EXPECT_EQ(recorder.Received(), "only");
}

// Output kept of a script is capped; the script is killed beyond the cap.
TEST_F(LifetimeE2E, ScriptOutputIsCapped) {
    const std::string endless = WriteFile(work.path + "/endless.sh", "#!/bin/sh\nexec yes\n");
    ASSERT_EQ(chmod(endless.c_str(), 0755), 0);
    Start("proclistscript=" + endless + "\n");
    struct Case {
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {{"TEST-ShellScript", "sh %script%", "yes", "", "0", "2"},
         "301\nOutput limit of 16 MiB exceeded\n"},
        {{"TEST-ShellScript", "sh %script%", "yes | head -c 1000000", "", "0", "2"},
         "200\ny\ny%0D%0Ay%0D%0A\n"},
        {{"GetProcessesList"}, "301\nOutput limit of 16 MiB exceeded\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[0] + " " + (c.request.size() > 2 ? c.request[2] : ""));
        // Waits longer than the agent's own limit on a settings script (60 s),
        // so that whatever the agent answers on a slow machine is seen.
        std::string body;
        for (const std::string& l : c.request) body += l + "\n";
        EXPECT_EQ(wire::Ask(agent.port, agent.password, body + "\r", "127.0.0.1", 120000),
                  c.reply + "\r");
        EXPECT_EQ(Entries(tmp), std::vector<std::string>{});
        EXPECT_EQ(WaitNoChildren(agent.pid, kWaitMs), std::vector<std::string>{});
    }
}

// A number that does not fit is refused, never wrapped into another value.
TEST_F(LifetimeE2E, NumbersThatDoNotFitAreWrongParameters) {
    Start();
    const std::string wrong = "501\nWrong parameter\n";
    struct Case {
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {{"TEST-TCP", "127.0.0.1", "4295011297", "1000", "x", "0"}, wrong},
        {{"TEST-UDP", "127.0.0.1", "9", "1000", "4294967297", "x", "0"}, wrong},
        {{"TEST-UDP", "127.0.0.1", "9", "99999999999999999999", "1", "x", "0"}, wrong},
        {{"TEST-CountFiles", work.path, "*", "0", "0", "2147483648"}, wrong},
        {{"TEST-CountFiles", work.path, "*", "0", "4294967296", "0"}, wrong},
        {{"TEST-ExternalPrg", "true", "", "", "4294967296"}, wrong},
        {{"ACT-ExternalCmd", "true", "", "0", "-2147483649"}, wrong},
        {{"ACT-TCPUDPsend", "127.0.0.1", "9", "1", "x", "4294967297", "y"}, wrong},
        {{"TEST-ShellScript", "sh %script%", "echo a", "", "4294967297", "0"}, wrong},
        {{"TEST-ShellScript", "sh %script%", "echo a", "", "0", "-4294967295"}, wrong},
        {{"SetSettings", "Timeout=4294967297"}, wrong},
        {{"SetSettings", "Port=4295011297"}, wrong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[0] + " " + c.request.back());
        EXPECT_EQ(Ask(c.request), c.reply);
    }
    EXPECT_EQ(wire::Value(Ask({"GetSettings"}), "Port"), std::to_string(agent.port));
}

// When one peer's long requests fill its sessions, the last few are kept
// for managing the agent: anything else there is answered "600" at once.
TEST_F(LifetimeE2E, TheLastSessionsAreKeptForManagement) {
    Start("timeout=60000\n");
    // Held sessions: requests that never complete (one byte of a length).
    std::vector<std::unique_ptr<wire::Connection>> held;
    for (int i = 0; i < 124; i++) {
        held.push_back(std::make_unique<wire::Connection>(agent.port));
        ASSERT_TRUE(held.back()->Ok());
        ASSERT_TRUE(held.back()->Send("\x40"));
    }
    // All counted before the reserve is tried (one reserve place asks);
    // the count is compared as read, since the previous asking session may
    // still be counted for a moment after its reply has arrived.
    ASSERT_TRUE(WaitActive("125"));
    const std::string busy = "600\nAgent is busy: only management requests are served now\n";
    struct Case {
        std::vector<std::string> request;
        std::string replyStart;
    } cases[] = {
        {{"GetInfo"}, "200\n"},          {{"GetSettings"}, "200\n"},
        {{"ReloadCfg"}, "200\nOk\n"},    {{"TEST-ExternalPrg", "true", "", "", "0"}, busy},
        {{"UpgradeCode", "1000"}, busy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[0]);
        EXPECT_EQ(Ask(c.request).substr(0, c.replyStart.size()), c.replyStart) << agent.Output();
    }
    // Another peer address is not held by this one's sessions.
    EXPECT_EQ(wire::Ask(agent.port, agent.password, Body({"TEST-ExternalPrg", "true", "", "", "0"}),
                        "127.0.0.2"),
              "200\n0\n\r");
    // A reserve place is held only by a peer that has proven it knows the
    // password (its header in) within a second of its arrival: these are
    // closed, and the reserve serves again.
    std::vector<std::unique_ptr<wire::Connection>> slow;
    for (int i = 0; i < 4; i++) {
        slow.push_back(std::make_unique<wire::Connection>(agent.port));
        ASSERT_TRUE(slow.back()->Send("\x40"));
    }
    for (auto& conn : slow) {
        bool closed = false;
        conn->Receive(kWaitMs, &closed);
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(Ask({"GetInfo"}).substr(0, 4), "200\n");
    // With the reserve full of such peers too, a new connection is closed
    // unanswered. Counted from another address, so that no asking session
    // of this one still holds a place.
    auto activeSeenFromAnother = [&] {
        return wire::Value(wire::Ask(agent.port, agent.password, "GetInfo\n\r", "127.0.0.2"),
                           "ActiveConnections");
    };
    const long long t0 = NowMs();
    std::string before;
    while ((before = activeSeenFromAnother()) != "125" && NowMs() - t0 < kWaitMs) SleepMs(100);
    ASSERT_EQ(before, "125") << agent.Output();
    const std::string header = wire::Packet(agent.password, "GetInfo\n\r").substr(0, 24);
    for (int i = 0; i < 4; i++) {
        held.push_back(std::make_unique<wire::Connection>(agent.port));
        ASSERT_TRUE(held.back()->Send(header)) << agent.Output();
    }
    // All four hold their places (counted with the asking one) past the
    // second in which a reserve place must see its header.
    const long long sent = NowMs();
    std::string active;
    while (((active = activeSeenFromAnother()) != "129" || NowMs() - sent < 1500) &&
           NowMs() - sent < kWaitMs)
        SleepMs(100);
    ASSERT_EQ(active, "129") << agent.Output();
    EXPECT_EQ(Ask({"GetInfo"}), "");
    held.clear();
    EXPECT_TRUE(WaitActive("1"));
    EXPECT_EQ(Ask({"QUIT"}), "200\nOk\n");
    EXPECT_EQ(agent.Wait(kWaitMs), 0);
}

// SIGTERM ends the agent as QUIT does: exit code 0, pid file removed.
TEST(LifetimeE2EDaemon, SigtermEndsTheAgentAsQuitDoes) {
    runstate::TempDir dir;
    runstate::Daemon d;
    ASSERT_TRUE(d.Start(dir.path, "logfails=1\nlogsuccess=1\n"));
    AgentHarness interactive;
    ASSERT_TRUE(interactive.Start());
    struct Case {
        const char* mode;
        int pid;
    } cases[] = {{"daemon", d.pid}, {"interactive", interactive.pid}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(kill(c.pid, SIGTERM), 0);
        EXPECT_TRUE(runstate::WaitGone(c.pid, kWaitMs));
    }
    EXPECT_NE(access(d.pidPath.c_str(), F_OK), 0);
    EXPECT_EQ(interactive.Wait(kWaitMs), 0);
    EXPECT_NE(interactive.Output().find("Terminate request received. Terminating..\n"),
              std::string::npos);
}

// Programs still running when the agent restarts belong to the new image,
// which reaps them when they end; its own children keep their exit codes.
TEST_F(LifetimeE2E, ChildrenRunningAcrossARestartAreReaped) {
    Start();
    std::vector<std::unique_ptr<wire::Connection>> running;
    for (int i = 0; i < 3; i++) {
        running.push_back(std::make_unique<wire::Connection>(agent.port));
        ASSERT_TRUE(running.back()->Send(
            wire::Packet(agent.password, Body({"TEST-ExternalPrg", "sleep 3", "", "", "10000"}))));
    }
    EXPECT_EQ(Ask({"TEST-ExternalPrg", "sleep 3", "", "", "-1"}), "200\n0\n");
    EXPECT_EQ(Children(agent.pid).size(), 4u);
    EXPECT_EQ(Ask({"ReloadApp"}), "200\nOk\n");
    ASSERT_TRUE(runstate::WaitForCount(agent, "Listening...", 2, kWaitMs)) << agent.Output();
    EXPECT_EQ(Ask({"TEST-ExternalPrg", "false", "", "", "0"}), "200\n1\n");
    EXPECT_EQ(WaitNoChildren(agent.pid, kWaitMs), std::vector<std::string>{});
}

}  // namespace
