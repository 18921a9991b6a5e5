// TEST-TCP and TEST-UDP end to end: the real agent exchanges data with
// loopback peers the test runs itself; requests go over the wire as the
// monitoring server sends them, the refusals also through the client.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "loopback_peers.h"
#include "wire_util.h"

namespace {

using loopback::TcpPeer;
using loopback::UdpPeer;

// A reply body split into its lines.
std::vector<std::string> Lines(const std::string& out) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        lines.push_back(out.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// A successful exchange: "200", a duration that is a plain non-negative
// number, and the answer. Returns the answer line (or a marker).
std::string AnswerOf(const std::string& r) {
    const std::vector<std::string> lines = Lines(r);
    if (lines.size() != 3 || lines[0] != "200") return "<reply " + r + ">";
    if (lines[1].empty() || lines[1].find_first_not_of("0123456789") != std::string::npos)
        return "<duration " + lines[1] + ">";
    return lines[2];
}

std::string Request(const AgentHarness& a, const std::vector<std::string>& lines) {
    return wire::AskLines(a, lines);
}

class NetTestsE2E : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(agent.Start("tcp=1\nudp=1\n")) << agent.Output(); }
    std::string Ask(const std::vector<std::string>& lines) { return Request(agent, lines); }
    AgentHarness agent;
};

TEST_F(NetTestsE2E, TcpAnswersAreEchoedAndCut) {
    TcpPeer echo(TcpPeer::kEcho);
    TcpPeer big(TcpPeer::kAnswer, std::string(9000, 'z'));
    ASSERT_TRUE(echo.ok() && big.ok());
    struct Case {
        const TcpPeer& peer;
        const char* data;
        const char* greatest;
        std::string answer;
    } cases[] = {
        {echo, "hello", "100", "hello"},
        {echo, "hello world", "5", "hello"},  // cut at the greatest length
        {echo, "line one%0Aline two%0D", "100", "line one%0Aline two%0D"},  // both ways encoded
        {echo, "hello", "0", ""},  // nothing asked: sent, not awaited
        {echo, "hello", "-3", ""},
        {echo, "", "0", ""},  // nothing to send either: connecting is the test
        {big, "x", "20000", std::string(8192, 'z')},  // the buffer caps the answer
        {big, "x", "8192", std::string(8192, 'z')},
        {big, "x", "100", std::string(100, 'z')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.data) + " / " + c.greatest);
        const std::string r = Ask(
            {"TEST-TCP", " 127.0.0.1 ", std::to_string(c.peer.port()), "5000", c.data, c.greatest});
        EXPECT_EQ(AnswerOf(r), c.answer);
    }
    // The multi-line data arrived decoded.
    EXPECT_NE(echo.Received().find("line one\nline two\r"), std::string::npos);
}

TEST_F(NetTestsE2E, TcpFailuresGiveTheErrorAndTheResult) {
    loopback::ClosedTcpPort closed;
    TcpPeer silent(TcpPeer::kSilent);
    ASSERT_TRUE(closed.ok() && silent.ok());
    struct Case {
        const char* host;
        int port;
        const char* limit;
        std::string reply;
    } cases[] = {
        {"127.0.0.1", closed.port(), "5000",
         "301\n" + std::string(std::strerror(ECONNREFUSED)) + "\n-6\n"},
        {loopback::kUnresolvable, closed.port(), "5000",
         "301\nCannot resolve server name to IP address\n-2\n"},
        // A peer that accepts but never answers holds the session only for
        // the request's own limit.
        {"127.0.0.1", silent.port(), "1000", "301\nTimeout\n0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        const long long start = NowMs();
        const std::string r =
            Ask({"TEST-TCP", c.host, std::to_string(c.port), c.limit, "ping", "100"});
        EXPECT_EQ(r, c.reply);
        EXPECT_LT(NowMs() - start, 20000);
    }
}

TEST_F(NetTestsE2E, BadParametersAreRefused) {
    TcpPeer echo(TcpPeer::kEcho);
    ASSERT_TRUE(echo.ok());
    const std::string port = std::to_string(echo.port());
    const std::vector<std::vector<std::string>> requests = {
        {"TEST-TCP", "127.0.0.1", "80x", "1000", "ping", "10"},
        {"TEST-TCP", "127.0.0.1", port, "1.5", "ping", "10"},
        {"TEST-TCP", "127.0.0.1", port, "1000", "ping", "ten"},
        {"TEST-TCP", "127.0.0.1", "70000", "1000", "ping", "10"},
        {"TEST-TCP", "127.0.0.1", "-1", "1000", "ping", "10"},
        {"TEST-UDP", "127.0.0.1", "53 x", "1000", "1", "ping", "10"},
        {"TEST-UDP", "127.0.0.1", port, "1000", "1", "", "10"},      // empty data
        {"TEST-UDP", "127.0.0.1", port, "1000", "0", "ping", "10"},  // no attempt
        {"TEST-UDP", "127.0.0.1", port, "1000", "one", "ping", "10"},
        {"TEST-UDP", "127.0.0.1", port, "1000", "1", "ping", "1e3"},
        {"TEST-UDP", "127.0.0.1", port, "1000", "1"},  // data missing altogether
    };
    for (const std::vector<std::string>& req : requests) {
        SCOPED_TRACE(req[0] + " " + req[2] + " " + req[3] + " " + req[4]);
        EXPECT_EQ(Ask(req), "501\nWrong parameter\n");
    }
    EXPECT_EQ(echo.Received(), "");
}

TEST_F(NetTestsE2E, UdpAnswersAreEchoedAndCut) {
    UdpPeer echo(UdpPeer::kEcho);
    UdpPeer other(UdpPeer::kEcho, "127.0.0.3");
    ASSERT_TRUE(echo.ok() && other.ok());
    struct Case {
        const UdpPeer& peer;
        const char* host;
        const char* data;
        const char* greatest;
        const char* answer;
    } cases[] = {
        {echo, "127.0.0.1", "ping", "100", "ping"},
        {echo, "127.0.0.1", "ping pong", "4", "ping"},
        {echo, "127.0.0.1", "a%0Ab", "100", "a%0Ab"},
        {echo, "127.0.0.1", "ping", "0", ""},  // sent, no answer awaited
        {other, "127.0.0.3", "ping", "100", "ping"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.data + " / " + c.greatest);
        const std::string r = Ask(
            {"TEST-UDP", c.host, std::to_string(c.peer.port()), "2000", "3", c.data, c.greatest});
        EXPECT_EQ(AnswerOf(r), c.answer);
    }
    // The datagram not waited for may still be on its way to the echo thread.
    echo.WaitForChunks(4, 5000);
    EXPECT_EQ(echo.Chunks().size(), 4u);  // one datagram each: the first attempt succeeded
}

TEST_F(NetTestsE2E, UdpSilentPortTakesOneSecondPerAttempt) {
    struct Case {
        const char* limit;
        const char* attempts;
        size_t sent;
        long long atLeastMs;
        const char* reply;
    } cases[] = {
        {"1500", "3", 3, 2900, "301\nTimeout\n0\n"},  // cut to 1 s per attempt
        {"300", "1", 1, 900, "301\nTimeout\n0\n"},    // at least 1 s
        {"1000", "-2", 0, 0, "301\n\n0\n"},           // no attempt at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.limit) + " x " + c.attempts);
        UdpPeer silent(UdpPeer::kRecord);
        ASSERT_TRUE(silent.ok());
        const long long start = NowMs();
        const std::string r = Ask({"TEST-UDP", "127.0.0.1", std::to_string(silent.port()), c.limit,
                                   c.attempts, "ping", "100"});
        const long long took = NowMs() - start;
        EXPECT_EQ(r, c.reply);
        EXPECT_GE(took, c.atLeastMs);
        EXPECT_LT(took, c.atLeastMs + 15000);
        silent.WaitForChunks(c.sent, 2000);
        const std::vector<loopback::Chunk> got = silent.Chunks();
        EXPECT_EQ(got.size(), c.sent);
        for (const loopback::Chunk& d : got) EXPECT_EQ(d.bytes, "ping");
    }
}

TEST(NetTestsRightsE2E, RightOffRefusesTheTest) {
    AgentHarness agent;
    ASSERT_TRUE(agent.Start("tcp=0\nudp=0\n")) << agent.Output();
    TcpPeer echo(TcpPeer::kEcho);
    UdpPeer udp(UdpPeer::kEcho);
    ASSERT_TRUE(echo.ok() && udp.ok());
    EXPECT_EQ(
        RunCtl(agent, {"TEST-TCP", "127.0.0.1", std::to_string(echo.port()), "1000", "x", "10"})
            .out,
        "600\ntest is not allowed\n");
    EXPECT_EQ(
        RunCtl(agent, {"TEST-UDP", "127.0.0.1", std::to_string(udp.port()), "1000", "1", "x", "10"})
            .out,
        "600\ntest is not allowed\n");
    EXPECT_EQ(echo.Received(), "");
    EXPECT_EQ(udp.Received(), "");
}

}  // namespace
