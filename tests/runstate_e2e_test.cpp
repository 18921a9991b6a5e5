// Run-state changes end to end: restart in place, a restart that cannot
// start the program, quitting with sessions open, and port switching. Each
// change must be acted on by the main thread on its own, without another
// connection arriving to wake it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "agent_harness.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using runstate::Count;
using runstate::WaitForCount;

const char kManage[] = "allowmanage=1\nmanageaddr=127.0.0.1\n";
const int kWaitMs = 15000;  // generous: the machine is shared and busy

std::string Cmdline(int pid) {
    return agent_harness_detail::ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
}

// A TCP socket listening on 127.0.0.1 at a free port, closed at the end.
struct PortHolder {
    PortHolder() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, 1) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~PortHolder() { close(fd); }
    int fd = -1;
    int port = 0;
};

// Moves the agent to a free port and waits (without connecting) until it
// serves there; the harness then talks to the new port.
void SwitchToFreePort(AgentHarness& a, int switchesBefore) {
    const int next = FreeLoopbackPort();
    CtlResult r = RunCtl(a, {"SetSettings", "Port=" + std::to_string(next)});
    ASSERT_EQ(r.out, "200\n") << r.err;
    ASSERT_TRUE(WaitForCount(a, "Server port switching .. Ok\n", switchesBefore + 1, kWaitMs))
        << a.Output();
    a.port = next;
}

TEST(RunStateE2E, ReloadAppReExecutesTheSameProcess) {
    AgentHarness a;
    ASSERT_TRUE(a.Start(kManage));
    const std::string args = Cmdline(a.pid);
    ASSERT_EQ(RunCtl(a, {"GetInfo"}).exitCode, 0);
    CtlResult r = RunCtl(a, {"ReloadApp"});
    EXPECT_EQ(r.out, "200\nOk\n");
    // Nobody connects until the new image listens.
    ASSERT_TRUE(WaitForCount(a, "Listening...", 2, kWaitMs)) << a.Output();
    EXPECT_EQ(a.Wait(0), -1);  // the same process goes on
    EXPECT_EQ(Cmdline(a.pid), args);
    const std::string out = a.Output();
    EXPECT_EQ(Count(out, " Application:  TEV (Farwatcher for Omnivar)\n"), 2);
    EXPECT_EQ(Count(out, "Sock testing .. Ok\n"), 2);
    EXPECT_EQ(Count(out, "Reload request received. Executing..\n"), 1);
    // A fresh image: its counters started again.
    const std::string info = wire::Ask(a.port, a.password, "GetInfo\n\r");
    EXPECT_EQ(wire::Value(info, "OpenedConnections"), "1");
}

TEST(RunStateE2E, ReloadAppInDaemonModeWritesTheNewDaemonsPid) {
    runstate::TempDir dir;
    runstate::Daemon d;
    ASSERT_TRUE(d.Start(dir.path, ""));
    const int first = d.pid;
    EXPECT_EQ(d.Ctl({"ReloadApp"}).out, "200\nOk\n");
    const int second = runstate::WaitForPid(d.pidPath, first, kWaitMs);
    ASSERT_GT(second, 0);
    EXPECT_TRUE(runstate::WaitGone(first, kWaitMs));
    EXPECT_EQ(d.Ctl({"GetInfo"}).exitCode, 0);
    EXPECT_EQ(d.Ctl({"QUIT"}).out, "200\nOk\n");
    EXPECT_TRUE(runstate::WaitGone(second, kWaitMs));
    EXPECT_NE(access(d.pidPath.c_str(), F_OK), 0);
}

TEST(RunStateE2E, FailedRestartKeepsServingWithItsPidFile) {
    runstate::TempDir dir;
    // Exists (the configuration check passes) but cannot be executed.
    const std::string notAProgram = WriteFile(dir.path + "/tev", "plain text\n");
    ASSERT_FALSE(notAProgram.empty());
    runstate::Daemon d;
    ASSERT_TRUE(d.Start(dir.path, "tevpath=" + notAProgram + "\n"));
    EXPECT_EQ(d.Ctl({"ReloadApp"}).out, "200\nOk\n");
    const std::string log = dir.path + "/log2.txt";
    ASSERT_TRUE(runstate::WaitForFileText(log, "Error: cannot start new instance\n", 1, kWaitMs));
    EXPECT_EQ(runstate::WaitForPid(d.pidPath, 0, kWaitMs), d.pid);
    CtlResult info = d.Ctl({"GetInfo"});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(wire::Value(info.out, "Port"), std::to_string(d.port));
    runstate::SleepMs(1500);  // reported once, not at every later check
    EXPECT_EQ(Count(agent_harness_detail::ReadWholeFile(log), "cannot start new instance"), 1);
    EXPECT_EQ(d.Ctl({"QUIT"}).exitCode, 0);
    EXPECT_TRUE(runstate::WaitGone(d.pid, kWaitMs));
}

TEST(RunStateE2E, QuitWithAnotherSessionOpenEndsTheDaemonAtOnce) {
    runstate::TempDir dir;
    runstate::Daemon d;
    ASSERT_TRUE(d.Start(dir.path, ""));
    wire::Connection other(d.port);  // a session that never finishes
    ASSERT_TRUE(other.Ok());
    ASSERT_TRUE(other.Send("\x40"));  // part of a length field
    EXPECT_EQ(d.Ctl({"QUIT"}).out, "200\nOk\n");
    EXPECT_TRUE(runstate::WaitGone(d.pid, kWaitMs));
    EXPECT_NE(access(d.pidPath.c_str(), F_OK), 0);
    bool closed = false;
    other.Receive(kWaitMs, &closed);
    EXPECT_TRUE(closed);
}

TEST(RunStateE2E, PortSwitchToAFreePortThenToABusyOne) {
    AgentHarness a;
    ASSERT_TRUE(a.Start(kManage));
    const int original = a.port;
    SwitchToFreePort(a, 0);
    EXPECT_EQ(wire::Value(RunCtl(a, {"GetInfo"}).out, "Port"), std::to_string(a.port));
    EXPECT_EQ(RunCtlRaw({"-p", std::to_string(original), "-w", a.password, "GetInfo"}).exitCode, 2);

    // The listener now is a reopened socket; asking for a busy port must
    // still be acted on with nobody else connecting.
    PortHolder busy;
    ASSERT_GT(busy.port, 0);
    CtlResult r = RunCtl(a, {"SetSettings", "Port=" + std::to_string(busy.port)});
    EXPECT_EQ(r.out, "200\n");
    ASSERT_TRUE(WaitForCount(a, "Return to original port\n", 1, kWaitMs)) << a.Output();
    const std::string out = a.Output();
    EXPECT_LT(out.find("Error: cannot open new port for listening\n"),
              out.find("Return to original port\n"));
    EXPECT_EQ(wire::Value(RunCtl(a, {"GetInfo"}).out, "Port"), std::to_string(a.port));
    EXPECT_EQ(wire::Value(RunCtl(a, {"GetSettings"}).out, "Port"), std::to_string(a.port));
}

// After a port switch, each kind of run-state change still takes effect
// without any further connection.
TEST(RunStateE2E, ChangesAfterAPortSwitchNeedNoOtherConnection) {
    struct Case {
        const char* name;
        std::vector<std::string> request;
        std::string marker;  // in the output once acted on; empty: the exit
    } cases[] = {
        {"QUIT", {"QUIT"}, ""},
        {"ReloadApp", {"ReloadApp"}, "Listening..."},
        {"another port", {"SetSettings", "Port=0"}, "Server port switching .. Ok\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AgentHarness a;
        ASSERT_TRUE(a.Start(kManage));
        SwitchToFreePort(a, 0);
        std::vector<std::string> request = c.request;
        if (request.back() == "Port=0")
            request.back() = "Port=" + std::to_string(FreeLoopbackPort());
        const int before = Count(a.Output(), c.marker.empty() ? "\n" : c.marker);
        CtlResult r = RunCtl(a, request);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        if (c.marker.empty()) {
            EXPECT_EQ(a.Wait(kWaitMs), 0);
        } else {
            EXPECT_TRUE(WaitForCount(a, c.marker, before + 1, kWaitMs)) << a.Output();
        }
    }
}

}  // namespace
