// Serving requests end to end: the real agent on a loopback port, spoken to
// by the client and by raw packets as the monitoring server would.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "loopback_peers.h"
#include "wire_util.h"

namespace {

using wire::Ask;
using wire::Value;

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Counter(const AgentHarness& a, const char* name) {
    const std::string v = Value(Ask(a.port, a.password, "GetInfo\n\r"), name);
    return v == "<missing>" ? -1 : std::stoi(v);
}

// Active sessions drop to zero shortly after the last reply.
void ExpectActiveReturnsToZero(const AgentHarness& a) {
    int active = -1;
    for (int i = 0; i < 100; i++) {
        active = Counter(a, "ActiveConnections");
        if (active == 1) break;  // only the asking session itself
        agent_harness_detail::SleepMs(20);
    }
    EXPECT_EQ(active, 1);
}

class ServeE2E : public ::testing::Test {
  protected:
    void Start(const std::string& extra = "") {
        ASSERT_TRUE(
            agent.Start("allowmanage=1\nmanageaddr=127.0.0.1\nallowupdates=1\n"
                        "updateaddr=127.0.0.1\ntimeout=1000\n" +
                        extra))
            << agent.Output();
    }
    std::string AskBody(const std::string& body) { return Ask(agent.port, agent.password, body); }
    AgentHarness agent;
};

TEST_F(ServeE2E, GetInfoListsEverythingInOrder) {
    Start("comment=rack 4\n");
    CtlResult r = RunCtl(agent, {"GetInfo"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t at = 0; at < r.out.size();) {
        const size_t end = r.out.find('\n', at);
        lines.push_back(r.out.substr(at, end - at));
        at = end + 1;
    }
    const std::vector<std::string> head = {
        "200",
        "AgentName=Zo Farwatcher",
        "AgentPlatform=Linux (Red Hat, Mandrake, SuSE)",
        "AgentVersion=1.29",
    };
    ASSERT_GE(lines.size(), 19u) << r.out;
    for (size_t i = 0; i < head.size(); i++) EXPECT_EQ(lines[i], head[i]);
    const char* names[] = {"AgentDeveloper",    "Service",           "Active",
                           "ActiveConnections", "OpenedConnections", "FailedConnections",
                           "Available tests",   "Enabled tests",     "Port",
                           "Timeout",           "Comment",           "Available actions",
                           "Enabled actions",   "HostName",          "RunningOS",
                           "OSUpdates"};
    for (size_t i = 0; i < sizeof names / sizeof *names; i++)
        EXPECT_EQ(lines[i + 4].substr(0, std::string(names[i]).size() + 1),
                  std::string(names[i]) + "=");
    EXPECT_EQ(Value(r.out, "Service"), "0");
    EXPECT_EQ(Value(r.out, "Active"), "0");
    EXPECT_EQ(Value(r.out, "Available tests"),
              "TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0AFile "
              "Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0AProcess%0D%"
              "0ACPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A");
    EXPECT_EQ(Value(r.out, "Enabled tests"), "1111111111111");
    EXPECT_EQ(Value(r.out, "Available actions"),
              "Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A");
    EXPECT_EQ(Value(r.out, "Enabled actions"), "000");
    EXPECT_EQ(Value(r.out, "Port"), std::to_string(agent.port));
    EXPECT_EQ(Value(r.out, "Timeout"), "1000");
    EXPECT_EQ(Value(r.out, "Comment"), "rack 4");
    EXPECT_EQ(Value(r.out, "OSUpdates"), "not implemented");
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    EXPECT_EQ(Value(r.out, "HostName"), u.nodename);
    EXPECT_EQ(Value(r.out, "RunningOS"),
              std::string(u.sysname) + " " + u.release + " " + u.version);

    // Counters count.
    const int opened = std::stoi(Value(r.out, "OpenedConnections"));
    RunCtl(agent, {"GetInfo"});
    EXPECT_EQ(Counter(agent, "OpenedConnections"), opened + 2);
    ExpectActiveReturnsToZero(agent);

    // The client's decode option turns the multi-line form back.
    CtlResult decoded = RunCtl(agent, {"-d", "GetInfo"});
    EXPECT_NE(decoded.out.find("Available actions=Execute external command\r\nTCP/UDP send\r\n"),
              std::string::npos);
}

TEST_F(ServeE2E, SettingsFromAnAllowedAddress) {
    Start();
    CtlResult get = RunCtl(agent, {"GetSettings"});
    ASSERT_EQ(get.exitCode, 0) << get.err;
    EXPECT_EQ(Value(get.out, "Password"), agent.password);
    EXPECT_EQ(Value(get.out, "ManageAddr"), "127.0.0.1");
    EXPECT_EQ(Value(get.out, "IPFilterAddr"), "127.0.0.1");
    EXPECT_EQ(Value(get.out, "LogBadConn"), "1");

    CtlResult set = RunCtl(agent, {"SetSettings", "TCP=0", "Comment=new text", "port=2000"});
    EXPECT_EQ(set.exitCode, 0) << set.out;
    EXPECT_EQ(set.out, "200\n");
    CtlResult info = RunCtl(agent, {"GetInfo"});
    EXPECT_EQ(Value(info.out, "Enabled tests").substr(0, 1), "0");
    EXPECT_EQ(Value(info.out, "Comment"), "new text");
    EXPECT_EQ(Value(info.out, "Port"), std::to_string(agent.port));  // lower case: ignored
    const std::string file = ReadText(agent.cfgPath);
    EXPECT_NE(file.find("tcp=0\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("comment=new text\r\n"), std::string::npos) << file;
    EXPECT_NE(ReadText(agent.cfgPath + ".Old").find("password="), std::string::npos);

    // With the file gone the values still change, and the reply says why
    // they could not be saved.
    ASSERT_EQ(unlink(agent.cfgPath.c_str()), 0);
    CtlResult lost = RunCtl(agent, {"SetSettings", "LogOkConn=1"});
    EXPECT_EQ(lost.exitCode, 1);
    EXPECT_EQ(lost.out, "300\nCannot open configuration file '" + agent.cfgPath +
                            "'\nNo such file or directory\n");
    EXPECT_EQ(Value(RunCtl(agent, {"GetSettings"}).out, "LogOkConn"), "1");
    // A reload that cannot read the file keeps the settings in force.
    CtlResult reload = RunCtl(agent, {"ReloadCfg"});
    EXPECT_EQ(reload.out.substr(0, 4), "300\n");
    EXPECT_EQ(RunCtl(agent, {"GetInfo"}).exitCode, 0);
}

TEST_F(ServeE2E, ManagementNeedsTheRight) {
    struct Case {
        const char* config;
    } cases[] = {{"allowmanage=0\n"}, {"manageaddr=10.0.0.1,127.0.0.2-127.0.0.9\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        AgentHarness a;
        ASSERT_TRUE(a.Start(c.config));
        for (const char* command :
             {"GetSettings", "SetSettings", "ReloadCfg", "ReloadApp", "QUIT"}) {
            CtlResult r = RunCtl(a, {command});
            EXPECT_EQ(r.out, "600\nOperation is not allowed\n") << command;
            EXPECT_EQ(r.exitCode, 1);
        }
        EXPECT_EQ(RunCtl(a, {"GetInfo"}).exitCode, 0);  // still running
    }
}

TEST_F(ServeE2E, DispatchAnswers) {
    Start();
    struct Case {
        std::string body, reply;
    } cases[] = {
        {"GetInfo\n", "502\nEndOfTransmission signal missed\n\r"},
        {"   \n\r", "500\nVoid request received\n\r"},
        {"\r", "500\nVoid request received\n\r"},
        {"test-tcp\n\r", "500\nUnknown command \"test-tcp\"\n\r"},
        {"NoSuchThing\nx\n\r", "500\nUnknown command \"NoSuchThing\"\n\r"},
        {"TEST-Service\n\r", "500\nNot applicable for UNIX/Linux\n\r"},
        {"TEST-DiskSpace\n\r", "500\nNot applicable for UNIX/Linux\n\r"},
        {"GetEventLogSources\n\r", "500\nNot applicable for UNIX/Linux\n\r"},
        {"TEST-Ping\n\r", "500\nnot implemented yet\n\r"},
        {"GetDriveList\n\r", "500\nnot implemented yet\n\r"},
        {"UpgradeCode\n100\n\r", "501\nWrong file parameter(s)\n\r"},
        {"UpgradeCode\n10485760\n\r", "501\nWrong file parameter(s)\n\r"},
        {"UpgradeCode\nabc\n\r", "501\nWrong file parameter(s)\n\r"},
        {" GetInfo \r", ""},  // command without LF: the whole text, trimmed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string reply = AskBody(c.body);
        if (c.reply.empty()) {
            EXPECT_EQ(reply.substr(0, 4), "200\n");
        } else {
            EXPECT_EQ(reply, c.reply);
        }
    }
    const std::string out = agent.Output();
    EXPECT_NE(out.find("EndOfTransmission signal missed\n"), std::string::npos);
    EXPECT_NE(out.find("Unknown command \"test-tcp\"\n"), std::string::npos);
    EXPECT_NE(out.find("--> request rejected or operation failed (500)\n"), std::string::npos);
    EXPECT_NE(out.find("--> request processed (501)\n"), std::string::npos);
}

TEST_F(ServeE2E, OneUpgradeSlotAtATime) {
    Start();
    wire::Connection first(agent.port);
    ASSERT_TRUE(first.Send(wire::Packet(agent.password, "UpgradeCode\n5000\n\r")));
    String body;
    ASSERT_TRUE(ParseReplyPacket(wire::S(first.Receive(5000)), wire::S("0123456789abcdef"), body));
    EXPECT_EQ(wire::Std(body), "200\n\r");
    EXPECT_EQ(AskBody("UpgradeCode\n5000\n\r"), "302\n\r");
    // Small sizes are refused after the slot check, so they see it busy too.
    EXPECT_EQ(AskBody("UpgradeCode\n100\n\r"), "302\n\r");
    // A transfer cut short frees the slot and its temporary file.
    first.Close();
    std::string reply;
    for (int i = 0; i < 100 && (reply = AskBody("UpgradeCode\n100\n\r")) == "302\n\r"; i++)
        agent_harness_detail::SleepMs(20);
    EXPECT_EQ(reply, "501\nWrong file parameter(s)\n\r");
}

TEST_F(ServeE2E, RefusedRequestsGetNoReplyAndLeaveCountersRight) {
    Start();
    const int opened = Counter(agent, "OpenedConnections");
    ASSERT_GE(opened, 0) << agent.Output();
    const std::string good = wire::Packet(agent.password, "GetInfo\n\r");
    std::string swapped = good;
    std::swap(swapped[4], swapped[5]);
    std::string longer = good;
    longer[0] = char(longer[0] + 1);   // announces one byte more than is sent
    std::string shorter = good + "x";  // one byte more than announced
    struct Case {
        const char* name;
        std::string bytes;
        int maxMs;  // how soon the agent must have closed
    } cases[] = {
        {"wrong password", wire::Packet("not-the-password", "GetInfo\n\r"), 1000},
        {"swapped tag bytes", swapped, 1000},
        {"surplus byte", shorter, 1000},
        {"short by one byte", longer, 4000},
        {"silent", "", 4000},
        {"half a length field", std::string("\x20\x00", 2), 4000},
        {"oversized length field", std::string("\x01\x00\x00\x02", 4), 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire::Connection conn(agent.port);
        ASSERT_TRUE(conn.Ok());
        if (!c.bytes.empty()) {
            ASSERT_TRUE(conn.Send(c.bytes));
        }
        bool closed = false;
        const long long t0 = agent_harness_detail::NowMs();
        const std::string got = conn.Receive(8000, &closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(got, "");
        EXPECT_LE(agent_harness_detail::NowMs() - t0, c.maxMs);
    }
    CtlResult wrong = RunCtlRaw({"-p", std::to_string(agent.port), "-w", "nope", "GetInfo"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_NE(wrong.err, "");
    // Seven raw connections, the client, and the asking session itself.
    EXPECT_EQ(Counter(agent, "OpenedConnections"), opened + 7 + 1 + 1);
    ExpectActiveReturnsToZero(agent);
    EXPECT_NE(agent.Output().find("<-- Invalid QV request received\n"), std::string::npos);
}

TEST_F(ServeE2E, RequestInPiecesIsAssembled) {
    Start();
    const std::string packet = wire::Packet(agent.password, "GetInfo\n\r");
    wire::Connection conn(agent.port);
    for (size_t at = 0; at < packet.size(); at += 7) {
        ASSERT_TRUE(conn.Send(packet.substr(at, 7)));
        agent_harness_detail::SleepMs(30);
    }
    String body;
    ASSERT_TRUE(ParseReplyPacket(wire::S(conn.Receive(5000)), wire::S("0123456789abcdef"), body));
    EXPECT_EQ(wire::Std(body).substr(0, 4), "200\n");
}

TEST_F(ServeE2E, AddressFilterRefusesAndCounts) {
    // 127.0.0.1 is disabled by its mark; 127.0.0.12 must not let 127.0.0.1 in.
    Start("filteractive=1\nfilterlist=127.0.0.1 127.0.0.2 127.0.0.12\nfiltermarks=011\n");
    EXPECT_EQ(RunCtl(agent, {"GetInfo"}).exitCode, 2);
    EXPECT_EQ(Ask(agent.port, agent.password, "GetInfo\n\r", "127.0.0.1"), "");
    const std::string reply = Ask(agent.port, agent.password, "GetInfo\n\r", "127.0.0.2");
    ASSERT_EQ(reply.substr(0, 4), "200\n");
    EXPECT_EQ(Value(reply, "FailedConnections"), "2");
    EXPECT_NE(agent.Output().find("127.0.0.1\t TCP connection rejected\n"), std::string::npos);

    AgentHarness none;
    ASSERT_TRUE(none.Start("filteractive=1\nfiltermarks=\n"));
    EXPECT_EQ(Ask(none.port, none.password, "GetInfo\n\r", "127.0.0.2"), "");
    EXPECT_EQ(Ask(none.port, none.password, "GetInfo\n\r", "127.0.0.1"), "");
}

TEST_F(ServeE2E, QuitEndsTheAgent) {
    Start();
    wire::Connection other(agent.port);  // a session still running
    ASSERT_TRUE(other.Ok());
    CtlResult r = RunCtl(agent, {"QUIT"});
    EXPECT_EQ(r.out, "200\nOk\n");
    EXPECT_EQ(agent.Wait(5000), 0);
    EXPECT_NE(agent.Output().find("Terminate request received. Terminating..\n"),
              std::string::npos);
}

TEST_F(ServeE2E, ConcurrentLoadGetsEveryReply) {
    Start("timeout=10000\n");
    const int kClients = 64;
    const int kRequests = 5000;
    std::atomic<int> next{0}, good{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++)
        clients.emplace_back([&] {
            while (next++ < kRequests) {
                const std::string reply = Ask(agent.port, agent.password, "GetInfo\n\r");
                if (reply.substr(0, 4) == "200\n" && Value(reply, "AgentVersion") == "1.29") good++;
            }
        });
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(good.load(), kRequests);
    ExpectActiveReturnsToZero(agent);
}

// Requests whose handlers take long (here TEST-TCP against a peer that never
// answers) must not hold up the taking of new connections, however many of
// them run at once.
TEST_F(ServeE2E, SlowRequestsDoNotHoldUpOthers) {
    Start("tcp=1\n");
    loopback::TcpPeer silent(loopback::TcpPeer::kSilent);
    ASSERT_TRUE(silent.ok());
    const std::string slow =
        "TEST-TCP\n127.0.0.1\n" + std::to_string(silent.port()) + "\n6000\nping\n10\n\r";
    std::vector<std::thread> slowClients;
    std::atomic<int> timedOut{0};
    for (int i = 0; i < 8; i++)
        slowClients.emplace_back([&] {
            if (Ask(agent.port, agent.password, slow, "127.0.0.1", 30000).substr(0, 4) == "301\n")
                timedOut++;
        });
    agent_harness_detail::SleepMs(500);  // all of them in their handlers
    const long long t0 = NowMs();
    EXPECT_EQ(AskBody("GetInfo\n\r").substr(0, 4), "200\n");
    EXPECT_LT(NowMs() - t0, 3000);
    for (std::thread& t : slowClients) t.join();
    EXPECT_EQ(timedOut.load(), 8);
}

}  // namespace
