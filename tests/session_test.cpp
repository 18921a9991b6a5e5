// The session state machine on its own: bytes in, what it needs next out,
// with no socket and no thread behind it.
#include "agent/session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "agent/runstate.h"
#include "config/settings.h"
#include "platform/clock.h"
#include "protocol/clientpacket.h"

namespace {

const char kPassword[] = "session-test";

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TEVSettings.Update([](TTEVSettings& s) {
            s.password = String(kPassword);
            s.timeout = 4000;
            s.allowmanage = 1;
            s.manageaddr = String("127.0.0.1");
        });
        String error;
        ASSERT_TRUE(NewSessionKey(key, error));
    }
    void TearDown() override {
        TEVSettings.Update([](TTEVSettings& s) { s = TTEVSettings(); });
        TEVFlags.terminate = 0;
        TEVFlags.reload = 0;
    }
    std::string Packet(const char* command, const char* password = kPassword) const {
        const String packet = BuildRequestPacket(String(password), key,
                                                 BuildRequestBody(String(command), TStrList()));
        return std::string(packet.Data(), size_t(packet.Length()));
    }
    std::string ReplyBody(const TSession& s) const {
        String body;
        if (!ParseReplyPacket(s.Output(), key, body)) return "<unreadable>";
        return std::string(body.Data(), size_t(body.Length()));
    }
    TConnection Conn(long long acceptMs) const {
        TConnection c{-1, {htonl(INADDR_LOOPBACK)}, acceptMs};
        return c;
    }
    String key;
};

// However the request arrives, the session asks for more until it is whole,
// then for a run; the reply follows and the connection ends with it.
TEST_F(SessionTest, ARequestInAnyPiecesIsRunOnceWholeAndAnswered) {
    const std::string packet = Packet("TEST-Service");
    for (size_t piece : {size_t(1), size_t(7), size_t(40), packet.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        TSession s(Conn(NowMs()));
        TSessionNeed need = snRead;
        for (size_t at = 0; at < packet.size(); at += piece) {
            ASSERT_EQ(need, snRead) << "asked for something else before the end, at " << at;
            const size_t n = std::min(piece, packet.size() - at);
            need = s.OnBytes(packet.data() + at, int(n));
        }
        ASSERT_EQ(need, snRun);
        ASSERT_NE(s.Request().def, nullptr);
        EXPECT_STREQ(s.Request().def->name, "TEST-Service");
        EXPECT_EQ(s.ExpiryMs(), LLONG_MAX) << "a whole request waits for nothing more";
        ASSERT_EQ(s.RunRequest(), snWrite);
        EXPECT_EQ(ReplyBody(s).substr(0, 4), "500\n");
        EXPECT_TRUE(s.EndsAfterOutput());
        EXPECT_EQ(s.OnWritten(), snClose);
    }
}

// A run-state change is raised only once the reply is out: otherwise the
// main loop could end the process before the server has its answer.
TEST_F(SessionTest, AQuitIsRaisedOnlyAfterItsReplyIsWritten) {
    const std::string packet = Packet("QUIT");
    TSession s(Conn(NowMs()));
    ASSERT_EQ(s.OnBytes(packet.data(), int(packet.size())), snRun);
    ASSERT_EQ(s.RunRequest(), snWrite);
    EXPECT_EQ(ReplyBody(s).substr(0, 4), "200\n");
    EXPECT_EQ(TEVFlags.terminate.load(), 0);
    EXPECT_FALSE(s.EndsAfterOutput()) << "the reply must leave before the process may end";
    EXPECT_EQ(s.OnWritten(), snClose);
    EXPECT_EQ(TEVFlags.terminate.load(), 1);
}

// A packet under another password ends the session as soon as its digest
// is in, without a reply.
TEST_F(SessionTest, AWrongPasswordEndsTheSessionWithoutAReply) {
    const std::string packet = Packet("TEST-Service", "not-the-password");
    TSession s(Conn(NowMs()));
    EXPECT_EQ(s.OnBytes(packet.data(), int(packet.size())), snClose);
    EXPECT_EQ(s.Output().Length(), 0);
}

// A peer that trickles its request is given up at the request deadline
// (ten seconds, or the idle limit when longer) counted from its arrival,
// however recently it sent its last byte; until its header is in, at the
// header deadline: the idle limit from the arrival. A session on a reserve
// place has a second from its arrival to prove it knows the password.
TEST_F(SessionTest, TricklingPutsOffNeitherTheHeaderNorTheRequestDeadline) {
    const std::string packet = Packet("TEST-Service");
    const size_t kHeader = 24;  // length, tag, digest
    struct Case {
        const char* name;
        bool reserve;
        size_t sent;            // bytes in, one piece
        long long expiryAfter;  // the expiry, after the arrival
    } cases[] = {
        {"silent", false, 0, 4000},
        {"part of the header", false, 3, 4000},
        {"a header short of one byte", false, kHeader - 1, 4000},
        {"the header in", false, kHeader, 10000},  // the idle limit would end later
        {"silent on a reserve place", true, 0, 1000},
        {"part of the header on a reserve place", true, kHeader - 1, 1000},
        {"the header in on a reserve place", true, kHeader, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const long long arrived = NowMs() - 8000;
        TConnection conn = Conn(arrived);
        conn.reserve = c.reserve;
        TSession s(conn);
        if (c.sent) {
            ASSERT_EQ(s.OnBytes(packet.data(), int(c.sent)), snRead);
        }
        EXPECT_EQ(s.ExpiryMs(), arrived + c.expiryAfter);
        EXPECT_EQ(SilentExpiryMs(conn, 4000), arrived + (c.reserve ? 1000 : 4000));
    }
}

// When a connection that has sent nothing is given up: the earlier of its
// idle limit and its request deadline, both from its arrival.
TEST(SilentExpiry, EarlierOfIdleLimitAndRequestDeadline) {
    struct Case {
        int timeout;
        long long expiry;  // after an arrival at 1000
    };
    const Case cases[] = {
        {4000, 5000},    // the idle limit comes first
        {0, 11000},      // no idle limit: the deadline
        {-5, 11000},     // nonsense is no limit either
        {20000, 21000},  // an idle limit beyond ten seconds is the deadline
    };
    for (const Case& c : cases) {
        const TConnection conn{-1, {0}, 1000};
        EXPECT_EQ(SilentExpiryMs(conn, c.timeout), c.expiry) << "timeout " << c.timeout;
    }
}

}  // namespace
