// The actions end to end: ACT-ExternalCmd, ACT-Syslog and ACT-TCPUDPsend
// asked of the real agent over the wire, with loopback peers run by the test.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "loopback_peers.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "platform/syslog.h"
#include "wire_util.h"

namespace {

using loopback::TcpPeer;
using loopback::UdpPeer;

std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), size_t(s.Length())) : std::string();
}

std::string Request(const AgentHarness& a, const std::vector<std::string>& lines) {
    return wire::AskLines(a, lines);
}

class ActionsE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(agent.Start("executeaction=1\nsyslogaction=1\ntcpudpaction=1\n"))
            << agent.Output();
    }
    std::string Ask(const std::vector<std::string>& lines) { return Request(agent, lines); }
    AgentHarness agent;
};

TEST(ActionsRightsE2E, RightOffRefusesEveryAction) {
    AgentHarness agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();  // actions are off unless enabled
    UdpPeer receiver(UdpPeer::kRecord);
    ASSERT_TRUE(receiver.ok());
    const std::string port = std::to_string(receiver.port());
    const std::string marker = agent.dir + "/ran";
    const std::vector<std::vector<std::string>> requests = {
        {"ACT-ExternalCmd", "touch " + marker, "", "0", "0"},
        {"ACT-ExternalCmd", "touch " + marker, "", "x", "0"},  // the right comes first
        {"ACT-Syslog", "127.0.0.1", port, "1", "5", "text"},
        {"ACT-TCPUDPsend", "127.0.0.1", port, "1", "data", "0", ""},
    };
    for (const std::vector<std::string>& req : requests) {
        SCOPED_TRACE(req[0]);
        EXPECT_EQ(Request(agent, req), "600\noperation is not allowed\n");
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
    EXPECT_EQ(receiver.Received(), "");
}

TEST_F(ActionsE2E, SyslogSendsOneDatagram) {
    struct Case {
        const char* facility;
        const char* severity;
        const char* message;
        std::string priority;
        std::string text;
    } cases[] = {
        {"1", "7", "hello%0Aworld", "<15>", "hello\nworld"},
        {"23", "0", "x", "<184>", "x"},
        {"4", "5", "", "<37>", ""},
    };
    const std::string host = Std(IP2String(GetMyIP()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priority);
        UdpPeer receiver(UdpPeer::kRecord);
        ASSERT_TRUE(receiver.ok());
        const time_t before = time(nullptr);
        const std::string r = Ask({"ACT-Syslog", " 127.0.0.1 ", std::to_string(receiver.port()),
                                   c.facility, c.severity, c.message});
        const time_t after = time(nullptr);
        EXPECT_EQ(r, "200\nSyslog: Data to 127.0.0.1 has been sent\n");
        ASSERT_TRUE(receiver.WaitForChunks(1, 5000));
        const std::string got = receiver.Chunks()[0].bytes;
        bool matched = false;
        for (time_t t = before; t <= after && !matched; t++)
            matched = got == c.priority + Std(CDateTime(t)) + " " + host + " Zo TEV: " + c.text;
        EXPECT_TRUE(matched) << got;
        EXPECT_EQ(receiver.Chunks().size(), 1u);
    }
}

TEST_F(ActionsE2E, SyslogRefusalsAndFailures) {
    UdpPeer receiver(UdpPeer::kRecord);
    ASSERT_TRUE(receiver.ok());
    const std::string port = std::to_string(receiver.port());
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{"127.0.0.1", port, "1", "8", "m"}, "501\nWrong parameter\n"},
        {{"127.0.0.1", port, "1", "-1", "m"}, "501\nWrong parameter\n"},
        {{"127.0.0.1", port, "x", "5", "m"}, "501\nWrong parameter\n"},
        {{"127.0.0.1", "5 14", "1", "5", "m"}, "501\nWrong parameter\n"},
        {{"127.0.0.1", "65536", "1", "5", "m"}, "501\nWrong parameter\n"},
        {{"  ", port, "1", "5", "m"}, "501\nWrong parameter\n"},
        {{loopback::kUnresolvable, port, "1", "5", "m"},
         "301\nCannot resolve server name to IP address\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params[0] + " " + c.params[1] + " " + c.params[2] + " " + c.params[3]);
        std::vector<std::string> req = {"ACT-Syslog"};
        req.insert(req.end(), c.params.begin(), c.params.end());
        EXPECT_EQ(Ask(req), c.reply);
    }
    EXPECT_EQ(receiver.Received(), "");
}

TEST_F(ActionsE2E, TcpSendDeliversBothBlocksWithTheDelayBetween) {
    TcpPeer peer(TcpPeer::kRecord);
    ASSERT_TRUE(peer.ok());
    const std::string r = Ask({"ACT-TCPUDPsend", "127.0.0.1", std::to_string(peer.port()), "0",
                               "first%0D%0A", "1", "second"});
    EXPECT_EQ(r, "200\nData has been sent\n");
    ASSERT_TRUE(peer.WaitForBytes(13, 5000));
    EXPECT_EQ(peer.Received(), "first\r\nsecond");
    // The second block came after the pause (arrival times taken by the peer
    // thread; generous for a loaded machine).
    const std::vector<loopback::Chunk> chunks = peer.Chunks();
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_EQ(chunks.front().bytes, "first\r\n");
    EXPECT_GE(chunks.back().atMs - chunks.front().atMs, 800);
}

TEST_F(ActionsE2E, TcpSendWithoutSecondBlockDoesNotWait) {
    TcpPeer peer(TcpPeer::kRecord);
    ASSERT_TRUE(peer.ok());
    const long long start = NowMs();
    const std::string r =
        Ask({"ACT-TCPUDPsend", "127.0.0.1", std::to_string(peer.port()), "0", "only", "8", ""});
    EXPECT_EQ(r, "200\nData has been sent\n");
    EXPECT_LT(NowMs() - start, 6000);
    ASSERT_TRUE(peer.WaitForBytes(4, 5000));
    EXPECT_EQ(peer.Received(), "only");
}

TEST_F(ActionsE2E, UdpSendDeliversDatagrams) {
    struct Case {
        const char* protocol;
        const char* second;
        std::vector<std::string> datagrams;
    } cases[] = {
        {"1", "", {"one"}}, {"17", "two", {"one", "two"}},  // anything but "0" is UDP
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol);
        UdpPeer receiver(UdpPeer::kRecord, "127.0.0.2");
        ASSERT_TRUE(receiver.ok());
        const std::string r = Ask({"ACT-TCPUDPsend", "127.0.0.2", std::to_string(receiver.port()),
                                   c.protocol, "one", "0", c.second});
        EXPECT_EQ(r, "200\nData has been sent\n");
        ASSERT_TRUE(receiver.WaitForChunks(c.datagrams.size(), 5000));
        const std::vector<loopback::Chunk> got = receiver.Chunks();
        ASSERT_EQ(got.size(), c.datagrams.size());
        for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(got[i].bytes, c.datagrams[i]);
    }
}

TEST_F(ActionsE2E, TcpSendRefusalsAndFailures) {
    loopback::ClosedTcpPort closed;
    TcpPeer peer(TcpPeer::kRecord);
    ASSERT_TRUE(closed.ok() && peer.ok());
    const std::string port = std::to_string(peer.port());
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{"127.0.0.1", std::to_string(closed.port()), "0", "data", "0", ""},
         "301\n" + std::string(std::strerror(ECONNREFUSED)) + "\n"},
        {{loopback::kUnresolvable, port, "0", "data", "0", ""},
         "301\nCannot resolve server name to IP address\n"},
        {{"", port, "0", "data", "0", ""}, "501\nWrong parameter\n"},
        {{"127.0.0.1", port, "0", "", "0", "second"}, "501\nWrong parameter\n"},
        {{"127.0.0.1", "http", "0", "data", "0", ""}, "501\nWrong parameter\n"},
        {{"127.0.0.1", port, "0", "data", "soon", "second"}, "501\nWrong parameter\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params[0] + " " + c.params[1] + " " + c.params[3] + " " + c.params[4]);
        std::vector<std::string> req = {"ACT-TCPUDPsend"};
        req.insert(req.end(), c.params.begin(), c.params.end());
        EXPECT_EQ(Ask(req), c.reply);
    }
    EXPECT_EQ(peer.Received(), "");
}

// True when this build can start child processes at all.
bool ProcessesAvailable() {
    int exitCode = 0;
    String error;
    return SystemEx("true", nullptr, 0, exitCode, error) == 1;
}

TEST_F(ActionsE2E, ExternalCommandRunsInItsWorkingDirectory) {
    if (!ProcessesAvailable()) GTEST_SKIP() << "child processes cannot be started in this build";
    const std::string work = agent.dir + "/work dir";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    char real[PATH_MAX];
    ASSERT_NE(realpath(work.c_str(), real), nullptr);
    const std::string out = agent.dir + "/pwd.txt";

    const std::string r =
        Ask({"ACT-ExternalCmd", "sh -c 'pwd > " + out + "; exit 7'", work, "0", "10000"});
    EXPECT_EQ(r, "200\n7\n");
    EXPECT_EQ(agent_harness_detail::ReadWholeFile(out), std::string(real) + "\n");

    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{"sh -c 'exit 0'", "", "0", "0"}, "200\n0\n"},
        {{"sh -c 'exit 3'", "", "-5", "0"}, "200\n3\n"},  // the unused number may be anything
        {{"no-such-program-tev", "", "0", "0"},
         "301\nexec error: " + std::string(std::strerror(ENOENT)) + "\n"},
        {{"true", "", "x", "0"}, "501\nWrong parameter\n"},
        {{"true", "", "0", "2s"}, "501\nWrong parameter\n"},
        {{"  ", "", "0", "0"}, "501\nCommand line to execute is not specified\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params[0]);
        std::vector<std::string> req = {"ACT-ExternalCmd"};
        req.insert(req.end(), c.params.begin(), c.params.end());
        EXPECT_EQ(Ask(req), c.reply);
    }
}

// A working folder the command cannot enter answers "301" with the system's
// reason and runs nothing; only an empty parameter means the agent's own
// folder.
TEST_F(ActionsE2E, ExternalCommandRefusesAFolderItCannotEnter) {
    if (!ProcessesAvailable()) GTEST_SKIP() << "child processes cannot be started in this build";
    const std::string fifo = agent.dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string loop = agent.dir + "/loop";
    ASSERT_EQ(symlink((loop + "2").c_str(), loop.c_str()), 0);
    ASSERT_EQ(symlink(loop.c_str(), (loop + "2").c_str()), 0);
    const std::string marker = agent.dir + "/ran";
    const std::string touch = "sh -c 'pwd > " + marker + "'";
    const std::string refused = "301\ncannot enter working folder: ";
    struct Case {
        std::string folder;
        std::string reply;
    } cases[] = {
        {agent.dir + "/missing", refused + strerror(ENOENT) + "\n"},
        {"/dev/zero", refused + strerror(ENOTDIR) + "\n"},
        {fifo, refused + strerror(ENOTDIR) + "\n"},
        {loop, refused + strerror(ELOOP) + "\n"},
        {agent.dir + "/tev.cfg/sub", refused + strerror(ENOTDIR) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        for (const char* limit : {"10000", "-1"})
            EXPECT_EQ(Ask({"ACT-ExternalCmd", touch, c.folder, "0", limit}), c.reply);
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the command ran elsewhere";
    }
    // Empty: the agent's own folder.
    EXPECT_EQ(Ask({"ACT-ExternalCmd", touch, "", "0", "10000"}), "200\n0\n");
    char own[PATH_MAX];
    const std::string cwd = "/proc/" + std::to_string(agent.pid) + "/cwd";
    const ssize_t n = readlink(cwd.c_str(), own, sizeof own - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(agent_harness_detail::ReadWholeFile(marker), std::string(own, size_t(n)) + "\n");
}

}  // namespace
