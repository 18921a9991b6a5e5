// The client side of the protocol against the agent's own request parser and
// reply builder, the exchange over TCP against an in-process stand-in agent,
// and the tevctl binary against the same stand-in.
#include "protocol/clientpacket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/qvrequest.h"
#include "protocol/tev_const.h"
#include "protocol/tevreply.h"
#include "tests/agent_harness.h"
#include "tests/runstate_util.h"

namespace {

String Bytes(const std::string& s) {
    return String(s.data(), int(s.size()));
}
std::string Std(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

String FromHex(const std::string& hex) {
    String out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string Hex(const String& s) {
    std::string out;
    char b[3];
    for (int i = 1; i <= s.Length(); i++) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(s[i]));
        out += b;
    }
    return out;
}

std::vector<std::string> ListItems(const TStrList& l) {
    std::vector<std::string> out;
    for (int i = 0; i < l.Count(); i++) out.push_back(Std(l[i]));
    return out;
}

in_addr Loopback() {
    in_addr a;
    a.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Rows "request-packet <password> <session key> <body> <packet>" (hex).
std::vector<std::vector<std::string>> RequestPacketVectors() {
    std::vector<std::vector<std::string>> rows;
    FILE* f = std::fopen(TEV_TESTDATA "/crypto-vectors.txt", "re");
    if (!f) return rows;
    char line[8192];
    while (std::fgets(line, sizeof line, f)) {
        std::vector<std::string> fields;
        for (char* tok = std::strtok(line, " \t\r\n"); tok; tok = std::strtok(nullptr, " \t\r\n"))
            fields.push_back(tok);
        if (fields.size() == 5 && fields[0] == "request-packet") rows.push_back(fields);
    }
    std::fclose(f);
    return rows;
}

// ---------------------------------------------------------------------------
// Request packets

TEST(ClientPacketTest, RebuildsReferencePacketByteForByte) {
    const auto rows = RequestPacketVectors();
    ASSERT_FALSE(rows.empty()) << "no request-packet rows in crypto-vectors.txt";
    for (const auto& r : rows) {
        SCOPED_TRACE(r[4]);
        EXPECT_EQ(Hex(BuildRequestPacket(FromHex(r[1]), FromHex(r[2]), FromHex(r[3]))), r[4]);
    }
}

TEST(ClientPacketTest, EmptyPiecesGetZeroLengthFields) {
    // Nothing to encrypt still leaves every length field in place, so the
    // parser finds the fields where the layout says they are.
    const String packet = BuildRequestPacket("", "", "");
    EXPECT_EQ(Hex(packet),
              "0a000000"
              "0312"
              "0000"
              "0000"
              "00000000");

    const String noKey = BuildRequestPacket("pw", "", "GetInfo\n\r");
    ASSERT_GT(noKey.Length(), 4 + 2 + 2 + 16 + 2);
    EXPECT_EQ(Hex(noKey.Copy(25, 2)), "0000");  // K after N, tag, P and digest
}

TEST(ClientPacketTest, SessionKeyMustFitItsLengthField) {
    const String longest(std::string(65535, 'k').c_str());
    EXPECT_GT(BuildRequestPacket("pw", longest, "GetInfo\n\r").Length(), 0);
    const String tooLong(std::string(65536, 'k').c_str());
    EXPECT_EQ(BuildRequestPacket("pw", tooLong, "GetInfo\n\r").Length(), 0);
}

TEST(ClientPacketTest, RequestBodyLayout) {
    struct Case {
        const char* command;
        std::vector<std::string> params;
        std::string body;
    } cases[] = {
        {"GetInfo", {}, "GetInfo\n\r"},
        {"TEST-FileExists", {"/etc/passwd"}, "TEST-FileExists\n/etc/passwd\n\r"},
        {"TEST-TCP", {"Host=a", "", "Port=80"}, "TEST-TCP\nHost=a\n\nPort=80\n\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        TStrList params;
        for (const std::string& p : c.params) params.Add(Bytes(p));
        EXPECT_EQ(Std(BuildRequestBody(c.command, params)), c.body);
    }
}

enum class Damage { None, SwapTags, ExtraByte, MissingByte, FlipDigest, FlipKeyLength };

TEST(ClientPacketTest, AgentParserAcceptsOnlyIntactPackets) {
    const std::string binaryKey("k\0\n\r\xffxyz", 8);
    const std::string longBody = "TEST-ShellScript\n" + std::string(70000, 'x') + "\n\r";
    struct Case {
        const char* name;
        std::string clientPassword, agentPassword, key, body;
        Damage damage;
        bool accepted;
    } cases[] = {
        {"plain", "secret", "secret", "sessionkey-0123", "GetInfo\n\r", Damage::None, true},
        {"no password", "", "", "0123456789abcdef", "GetInfo\n\r", Damage::None, true},
        // Keys shorter than 8 bytes are refused: anyone could compute them.
        {"empty session key", "pw", "pw", "", "GetInfo\n\r", Damage::None, false},
        {"1-byte session key", "pw", "pw", "k", "GetInfo\n\r", Damage::None, false},
        {"7-byte session key", "pw", "pw", "1234567", "GetInfo\n\r", Damage::None, false},
        {"8-byte session key", "pw", "pw", "12345678", "GetInfo\n\r", Damage::None, true},
        {"empty body", "pw", "pw", "key-0123", "", Damage::None, true},
        {"binary session key", "pw", "pw", binaryKey, "QUIT\n\r", Damage::None, true},
        {"body over 64 KiB", "pw", "pw", "key-0123", longBody, Damage::None, true},
        {"wrong password", "secret", "Secret", "key", "GetInfo\n\r", Damage::None, false},
        {"password missing", "", "secret", "key", "GetInfo\n\r", Damage::None, false},
        {"tag bytes swapped", "secret", "secret", "key", "GetInfo\n\r", Damage::SwapTags, false},
        {"one byte too many", "secret", "secret", "key", "GetInfo\n\r", Damage::ExtraByte, false},
        {"one byte short", "secret", "secret", "key", "GetInfo\n\r", Damage::MissingByte, false},
        {"digest altered", "secret", "secret", "key", "GetInfo\n\r", Damage::FlipDigest, false},
        {"key length overruns", "secret", "secret", "key", "GetInfo\n\r", Damage::FlipKeyLength,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        String packet = BuildRequestPacket(Bytes(c.clientPassword), Bytes(c.key), Bytes(c.body));
        ASSERT_GT(packet.Length(), 0);
        const int digestLen = c.clientPassword.empty() ? 0 : 16;
        switch (c.damage) {
            case Damage::None:
                break;
            case Damage::SwapTags:
                std::swap(packet[5], packet[6]);
                break;
            case Damage::ExtraByte:
                packet += 'x';
                break;
            case Damage::MissingByte:
                packet.SetLength(packet.Length() - 1);
                break;
            case Damage::FlipDigest:
                packet[9] = char(packet[9] ^ 1);
                break;
            case Damage::FlipKeyLength:
                packet[9 + digestLen + 1] = char(0x7f);
                break;
        }
        QVRequest req;
        req = packet;
        EXPECT_EQ(req.WholePacket(), c.damage != Damage::MissingByte);
        const int ok = req.ParseInitRequest(Bytes(c.agentPassword), Loopback());
        EXPECT_EQ(ok, c.accepted ? 1 : 0);
        if (!c.accepted) continue;
        EXPECT_EQ(Std(req), c.body);
        EXPECT_EQ(Std(req.GetSessionKey()), c.key);
    }
}

// ---------------------------------------------------------------------------
// Replies

TEST(ClientPacketTest, ReplyFromAgentBuilderRoundTrips) {
    const String key = "4f1c0a9e5b7d2c3e8a6f1b0d9c2e7a5b";
    TEVReply reply;
    reply.InitPacket(nullptr, key);
    reply.SetResult("200");
    reply.AddIntParam(5);
    reply.AddStringParam(String("two\nlines"), 1);
    reply.AddBoolParam(0);
    reply.FinalizePacket();

    String body, code;
    ASSERT_EQ(ParseReplyPacket(reply, key, body), 1);
    EXPECT_EQ(Std(body), "200\n5\ntwo%0Alines\n0\n\r");
    TStrList values;
    ASSERT_EQ(SplitReplyBody(body, code, values), 1);
    EXPECT_EQ(Std(code), "200");
    EXPECT_EQ(ListItems(values), (std::vector<std::string>{"5", "two%0Alines", "0"}));

    // Under another key the text is garbage, never the reply.
    ASSERT_EQ(ParseReplyPacket(reply, "other key", body), 1);
    EXPECT_NE(Std(body), "200\n5\ntwo%0Alines\n0\n\r");
}

TEST(ClientPacketTest, ReplyFramingMustBeExact) {
    const String key = "k";
    const String good = EncodeData(String("500\nx\n\r"), key, 4);
    struct Case {
        const char* name;
        String packet;
        int result;
        std::string body;
    } cases[] = {
        {"whole", good, 1, "500\nx\n\r"},
        {"empty", String(), 0, ""},
        {"length field cut", good.Copy(1, 3), 0, ""},
        {"one byte short", good.Copy(1, good.Length() - 1), 0, ""},
        {"one byte too many", good + "z", 0, ""},
        {"zero length", String("\0\0\0\0", 4), 1, ""},
        {"length field huge",
         String("\xff\xff\xff\xff"
                "abc",
                7),
         0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        String body = "stale";
        EXPECT_EQ(ParseReplyPacket(c.packet, key, body), c.result);
        EXPECT_EQ(Std(body), c.body);
    }
}

TEST(ClientPacketTest, SplitsReplyBodies) {
    struct Case {
        std::string body;
        int result;
        std::string code;
        std::vector<std::string> values;
    } cases[] = {
        {"200\n5\n0\n\r", 1, "200", {"5", "0"}},
        {"500\nNot applicable for UNIX/Linux\n\r", 1, "500", {"Not applicable for UNIX/Linux"}},
        {"200\n\r", 1, "200", {}},
        {"200\n\n\n\r", 1, "200", {"", ""}},
        {"200\nA\rB\n\r", 1, "200", {"A\rB"}},
        {"200\nx\n", 0, "200", {"x"}},
        {"200\nx\ny\r", 0, "200", {"x"}},
        {"200\nx\n\r\r", 0, "200", {"x"}},
        {"200\r", 0, "200", {}},
        {"", 0, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        String code = "old";
        TStrList values;
        values.Add("left over");
        EXPECT_EQ(SplitReplyBody(Bytes(c.body), code, values), c.result);
        EXPECT_EQ(Std(code), c.code);
        EXPECT_EQ(ListItems(values), c.values);
    }
}

TEST(ClientPacketTest, SessionKeysArePrintableAndFresh) {
    String a, b, error;
    ASSERT_EQ(NewSessionKey(a, error), 1);
    ASSERT_EQ(NewSessionKey(b, error), 1);
    EXPECT_EQ(a.Length(), 32);
    EXPECT_EQ(Std(a).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(Std(a), Std(b));
}

// ---------------------------------------------------------------------------
// A stand-in agent: accepts connections on a loopback port and answers each
// with the real request parser and reply builder, misbehaving on request.

enum class Behaviour {
    Serve,              // parse; reply, or close without reply when invalid
    CloseAtOnce,        // close without reading anything
    CloseAfterRequest,  // read the packet, close without reply
    Silent,             // read the packet, then neither answer nor close
    HalfReply,          // send half the reply, then close
    ByteByByte,         // send the reply one byte at a time
    HugeLength,         // announce a reply of 4 GiB
    ReplyAndTrailer,    // send the reply followed by junk
};

class FakeAgent {
  public:
    FakeAgent(std::string pw, Behaviour b, std::string code, std::vector<std::string> values)
        : password(std::move(pw)),
          behaviour(b),
          replyCode(std::move(code)),
          replyValues(std::move(values)) {
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        std::memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listenFd, 16) != 0 ||
            getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        thread = std::thread([this] { AcceptLoop(); });
    }
    ~FakeAgent() {
        stop = true;
        if (thread.joinable()) thread.join();
        if (listenFd >= 0) close(listenFd);
    }

    // The decrypted text and session key of the last valid request.
    std::string LastRequest() {
        std::lock_guard<std::mutex> lock(requestMutex);
        return lastRequest;
    }
    std::string LastKey() {
        std::lock_guard<std::mutex> lock(requestMutex);
        return lastKey;
    }
    int Connections() const { return connections; }

    int port = 0;

  private:
    bool Readable(int fd, int ms) {
        struct pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    void AcceptLoop() {
        while (!stop) {
            if (!Readable(listenFd, 20)) continue;
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            connections++;
            Session(fd);
            close(fd);
        }
    }

    // Reads until the packet is whole, the peer closes or 5 s pass.
    bool ReadPacket(int fd, QVRequest& req) {
        for (int waited = 0; !req.WholePacket() && waited < 5000 && !stop; waited += 20) {
            if (!Readable(fd, 20)) continue;
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            req.AddData(buf, int(n));
            waited = 0;
        }
        return req.WholePacket();
    }

    void SendBytes(int fd, const char* p, int n) {
        while (n > 0) {
            const ssize_t s = send(fd, p, size_t(n), MSG_NOSIGNAL);
            if (s <= 0) return;
            p += s;
            n -= int(s);
        }
    }

    void Session(int fd) {
        if (behaviour == Behaviour::CloseAtOnce) return;
        QVRequest req;
        if (!ReadPacket(fd, req) || behaviour == Behaviour::CloseAfterRequest) return;
        if (!req.ParseInitRequest(Bytes(password), Loopback())) return;
        {
            std::lock_guard<std::mutex> lock(requestMutex);
            lastRequest = Std(req);
            lastKey = Std(req.GetSessionKey());
        }
        TEVReply reply;
        reply.InitPacket(nullptr, req.GetSessionKey());
        reply.SetResult(replyCode.c_str());
        for (const std::string& v : replyValues) reply.AddStringParam(Bytes(v), 0);
        reply.FinalizePacket();
        switch (behaviour) {
            case Behaviour::Silent:
                while (!stop && !Readable(fd, 20)) {
                }
                return;
            case Behaviour::HalfReply:
                SendBytes(fd, reply.Data(), reply.Length() / 2);
                return;
            case Behaviour::ByteByByte:
                for (int i = 0; i < reply.Length(); i++) {
                    SendBytes(fd, reply.Data() + i, 1);
                    usleep(1000);
                }
                return;
            case Behaviour::HugeLength:
                SendBytes(fd, "\xff\xff\xff\xff", 4);
                return;
            case Behaviour::ReplyAndTrailer:
                reply += "trailer";
                break;
            default:
                break;
        }
        SendBytes(fd, reply.Data(), reply.Length());
        // Let the client read before the close, as the agent does.
        Readable(fd, 2000);
    }

    const std::string password;
    const Behaviour behaviour;
    const std::string replyCode;
    const std::vector<std::string> replyValues;
    int listenFd = -1;
    std::atomic<bool> stop{false};
    std::atomic<int> connections{0};
    std::mutex requestMutex;  // guards lastRequest and lastKey
    std::string lastRequest, lastKey;
    std::thread thread;
};

String Request(const std::string& password, const String& key, const char* command) {
    TStrList params;
    return BuildRequestPacket(Bytes(password), key, BuildRequestBody(command, params));
}

// ---------------------------------------------------------------------------
// Exchange over TCP

TEST(ClientExchangeTest, OutcomesOfOneExchange) {
    struct Case {
        const char* name;
        Behaviour behaviour;
        std::string agentPassword;
        int packetPad;  // extra request bytes, to make the send outlast the peer
        int timeoutMs;
        int result;
        std::string error;
    } cases[] = {
        {"served", Behaviour::Serve, "pw", 0, 10000, 1, ""},
        {"served in single bytes", Behaviour::ByteByByte, "pw", 0, 10000, 1, ""},
        {"trailer left unread", Behaviour::ReplyAndTrailer, "pw", 0, 10000, 1, ""},
        {"wrong password", Behaviour::Serve, "other", 0, 10000, 0, "no reply (connection closed)"},
        {"closed after request", Behaviour::CloseAfterRequest, "pw", 0, 10000, 0,
         "no reply (connection closed)"},
        {"closed before reading", Behaviour::CloseAtOnce, "pw", 4 << 20, 10000, 0,
         "no reply (connection closed)"},
        {"half a reply", Behaviour::HalfReply, "pw", 0, 10000, 0,
         "incomplete reply (connection closed)"},
        {"silent agent", Behaviour::Silent, "pw", 0, 300, -1, "timed out"},
        {"oversized reply", Behaviour::HugeLength, "pw", 0, 10000, -1, "reply too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAgent agent(c.agentPassword, c.behaviour, "200", {"5", "0"});
        ASSERT_NE(agent.port, 0);
        String key, error, reply, body, code;
        ASSERT_EQ(NewSessionKey(key, error), 1);
        TStrList params;
        if (c.packetPad) params.Add(String(std::string(size_t(c.packetPad), 'p').c_str()));
        const String packet = BuildRequestPacket("pw", key, BuildRequestBody("GetInfo", params));
        const int rc = ExchangePacket("127.0.0.1", agent.port, packet, c.timeoutMs, reply, error);
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(Std(error), c.error);
        if (rc != 1) continue;
        ASSERT_EQ(ParseReplyPacket(reply, key, body), 1);
        TStrList values;
        EXPECT_EQ(SplitReplyBody(body, code, values), 1);
        EXPECT_EQ(ListItems(values), (std::vector<std::string>{"5", "0"}));
        EXPECT_EQ(agent.LastKey(), Std(key));
    }
}

TEST(ClientExchangeTest, RefusedConnection) {
    String reply, error;
    EXPECT_EQ(ExchangePacket("127.0.0.1", FreeLoopbackPort(), Request("pw", "k", "GetInfo"), 2000,
                             reply, error),
              -1);
    EXPECT_EQ(Std(error), "connection refused");
    EXPECT_EQ(reply.Length(), 0);
}

// ---------------------------------------------------------------------------
// The tevctl binary

// A name whose lookup hangs (the resolver asks a server of the test's own,
// on loopback, that never answers, and would wait half a minute) ends at
// the client's time limit, with its own text. The client runs in a mount
// namespace of its own whose resolv.conf names that server; needs root.
TEST(TevctlTest, ANameLookupThatHangsEndsAtTheTimeLimit) {
    if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "needs root and unshare(1)";
    const int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(dns, 0);
    struct sockaddr_in at;
    std::memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.77", &at.sin_addr);
    if (bind(dns, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(dns);
        GTEST_SKIP() << "port 53 of 127.0.0.77 is taken";
    }
    runstate::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string resolv = WriteFile(dir.path + "/resolv.conf",
                                         "nameserver 127.0.0.77\noptions timeout:30 attempts:1\n");
    const std::string nss = WriteFile(dir.path + "/nsswitch.conf", "hosts: files dns\n");
    const std::string inside = "mount --bind '" + resolv + "' /etc/resolv.conf && mount --bind '" +
                               nss + "' /etc/nsswitch.conf && exec \"$0\" \"$@\"";
    const CtlResult r =
        RunProgramRaw("/usr/bin/unshare",
                      {"-m", "--propagation", "private", "sh", "-c", inside, TEVCTL_BINARY, "-H",
                       "tev-lookup.test", "-p", "1", "-w", "x", "-t", "1000", "GetInfo"});
    close(dns);
    if (r.err.find("tevctl:") == std::string::npos)
        GTEST_SKIP() << "no mount namespace here: " << r.err;
    EXPECT_NE(r.err.find("name lookup timed out"), std::string::npos) << r.err;
    EXPECT_EQ(r.exitCode, 2);
}

TEST(TevctlTest, PrintsReplyAndMapsResultToExitCode) {
    struct Case {
        const char* name;
        std::string code;
        std::vector<std::string> values;
        std::vector<std::string> args;
        int exitCode;
        std::string out;
    } cases[] = {
        {"success", "200", {"5", "a%0Ab%0Dc"}, {"GetInfo"}, 0, "200\n5\na%0Ab%0Dc\n"},
        {"decoded", "200", {"a%0Ab"}, {"-d", "GetInfo"}, 0, "200\na\nb\n"},
        {"other result",
         "500",
         {"Not applicable for UNIX/Linux"},
         {"TEST-Service"},
         1,
         "500\nNot applicable for UNIX/Linux\n"},
        {"no values", "302", {}, {"UpgradeCode", "500"}, 1, "302\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AgentHarness h;
        h.password = "s3cret";
        FakeAgent agent(h.password, Behaviour::Serve, c.code, c.values);
        h.port = agent.port;
        const CtlResult r = RunCtl(h, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST(TevctlTest, SendsCommandAndParametersWithPrintableSessionKey) {
    AgentHarness h;
    h.password = "pw";
    FakeAgent agent(h.password, Behaviour::Serve, "200", {});
    h.port = agent.port;
    const CtlResult r = RunCtl(h, {"TEST-TCP", "Host=127.0.0.1", "", "-5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(agent.LastRequest(), "TEST-TCP\nHost=127.0.0.1\n\n-5\n\r");
    const std::string key = agent.LastKey();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(TevctlTest, PasswordFromFile) {
    char tmpl[] = "/tmp/tevctl_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    struct Case {
        const char* name;
        std::string content;
        int exitCode;
    } cases[] = {
        {"first line, CR LF stripped", "pass word\r\nsecond line\n", 0},
        {"no line end", "pass word", 0},
        {"trailing blank kept", "pass word \n", 2},
    };
    FakeAgent agent("pass word", Behaviour::Serve, "200", {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = WriteFile(dir + "/pw", c.content);
        ASSERT_FALSE(file.empty());
        const CtlResult r = RunCtlRaw({"-p", std::to_string(agent.port), "-W", file, "GetInfo"});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    }
    const CtlResult missing =
        RunCtlRaw({"-p", std::to_string(agent.port), "-W", dir + "/absent", "GetInfo"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("tevctl: cannot read password file"), std::string::npos);
    unlink((dir + "/pw").c_str());
    rmdir(dir.c_str());
}

TEST(TevctlTest, FailuresExitWithTwoAndOneLineReason) {
    FakeAgent agent("right", Behaviour::Serve, "200", {});
    FakeAgent silent("right", Behaviour::Silent, "200", {});
    const std::string p = std::to_string(agent.port);
    const std::string refused = std::to_string(FreeLoopbackPort());
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string err;  // expected start of standard error (one line)
    } cases[] = {
        {"wrong password",
         {"-p", p, "-w", "wrong", "GetInfo"},
         "tevctl: no reply from 127.0.0.1:" + p + " (wrong password or invalid request?)\n"},
        {"refused",
         {"-p", refused, "-w", "right", "GetInfo"},
         "tevctl: 127.0.0.1:" + refused + ": connection refused\n"},
        {"timed out",
         {"-p", std::to_string(silent.port), "-w", "right", "-t", "200", "GetInfo"},
         "tevctl: 127.0.0.1:" + std::to_string(silent.port) + ": timed out\n"},
        {"no command", {"-p", p, "-w", "right"}, "tevctl: missing COMMAND"},
        {"unknown option", {"-x", "GetInfo"}, "tevctl: unknown option -x"},
        {"option without value", {"-p"}, "tevctl: missing value for -p"},
        {"port zero", {"-p", "0", "GetInfo"}, "tevctl: invalid port 0"},
        {"port too large", {"-p", "65536", "GetInfo"}, "tevctl: invalid port 65536"},
        {"port not a number", {"-p", "10x", "GetInfo"}, "tevctl: invalid port 10x"},
        {"timeout zero", {"-t", "0", "GetInfo"}, "tevctl: invalid timeout 0"},
        {"line break in parameter",
         {"-p", p, "-w", "right", "GetInfo", "a\nb"},
         "tevctl: line break in argument"},
        {"CR in command", {"-p", p, "-w", "right", "Get\rInfo"}, "tevctl: line break in argument"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CtlResult r = RunCtlRaw(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.compare(0, c.err.size(), c.err), 0) << r.err;
    }
    EXPECT_EQ(agent.Connections(), 1);  // only the wrong-password request got through
}

TEST(TevctlTest, HelpGoesToStandardOutput) {
    const CtlResult r = RunCtlRaw({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Usage: tevctl"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

}  // namespace
