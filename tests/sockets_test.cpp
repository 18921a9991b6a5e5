#include "platform/sockets.h"
#include "loopback_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", size_t(s.Length()));
}

std::string Text(int err) {
    return std::strerror(err);
}

bool IsCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

int BoundPort(int fd) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    return ntohs(sa.sin_port);
}

// A socket of the given type bound to an ephemeral loopback port.
int BindLoopback(int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
    return fd;
}

// A loopback port nobody listens on (bound once, then released).
int ClosedPort() {
    const int fd = BindLoopback(SOCK_STREAM);
    const int port = BoundPort(fd);
    close(fd);
    return port;
}

// Reads until the peer stops sending for a moment or closes; at most limit bytes.
std::string ReadAvailable(int fd, size_t limit, int idleMs = 200) {
    std::string got;
    char buf[65536];
    while (got.size() < limit) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, idleMs) <= 0) break;
        const ssize_t n = recv(fd, buf, std::min(sizeof buf, limit - got.size()), 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

// A TCP server on an ephemeral loopback port that accepts up to `clients`
// connections one after another and hands each to handler.
class TcpServer {
  public:
    TcpServer(std::function<void(int)> handler, int clients = 1) {
        fd_ = BindLoopback(SOCK_STREAM);
        listen(fd_, 16);
        port_ = BoundPort(fd_);
        thread_ = std::thread([this, handler, clients] {
            for (int i = 0; i < clients; i++) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 10000) <= 0) return;
                const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                handler(c);
                close(c);
            }
        });
    }
    ~TcpServer() {
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Answers the first chunk received with the same bytes.
void Echo(int c) {
    pollfd p{c, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    char buf[4096];
    const ssize_t n = recv(c, buf, sizeof buf, 0);
    if (n > 0) send(c, buf, size_t(n), MSG_NOSIGNAL);
}

// A UDP server on an ephemeral loopback port that waits for one datagram,
// keeps it, and answers with reply(datagram) unless that is empty.
class UdpServer {
  public:
    explicit UdpServer(std::function<std::string(const std::string&)> reply) {
        fd_ = BindLoopback(SOCK_DGRAM);
        port_ = BoundPort(fd_);
        thread_ = std::thread([this, reply] {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return;
            char buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) return;
            received_.assign(buf, size_t(n));
            const std::string answer = reply(received_);
            if (!answer.empty())
                sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       len);
        });
    }
    ~UdpServer() { Stop(); }
    // Waits for the server and returns what it received.
    std::string Stop() {
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        return received_;
    }
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::string received_;
    std::thread thread_;
};

TEST(ErrorTextTest, GivesTheSystemText) {
    for (int err : {ENOENT, ECONNREFUSED, ETIMEDOUT, EACCES}) {
        SCOPED_TRACE(err);
        EXPECT_EQ(Str(GetErrorStr(err)), Text(err));
    }
    EXPECT_GT(GetErrorStr(99999).Length(), 0);
}

TEST(AddressTextTest, InetNtoaSafeStaysInsideTheBuffer) {
    struct Case {
        int size;
        const char* want;
    };
    const Case cases[] = {
        {16, "192.168.100.200"},
        {24, "192.168.100.200"},
        {15, "192.168.100.20"},
        {8, "192.168"},
        {1, ""},
    };
    in_addr a;
    a.s_addr = inet_addr("192.168.100.200");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char buf[40];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(inet_ntoa_safe(a, buf, c.size), buf);
        EXPECT_STREQ(buf, c.want);
        for (size_t i = size_t(c.size); i < sizeof buf; i++) ASSERT_EQ(buf[i], 'X') << i;
    }
    char untouched[4] = {'X', 'X', 'X', 'X'};
    inet_ntoa_safe(a, untouched, 0);
    EXPECT_EQ(untouched[0], 'X');
}

TEST(AddressTextTest, IP2StringFormatsNetworkOrder) {
    for (const char* text : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.20.30.40"}) {
        SCOPED_TRACE(text);
        in_addr a;
        ASSERT_EQ(inet_aton(text, &a), 1);
        EXPECT_EQ(Str(IP2String(a.s_addr)), text);
    }
}

TEST(NameResolutionTest, GetHostIP) {
    struct Case {
        const char* host;
        int result;
        const char* ip;  // dotted form of the address on success
        const char* error;
    };
    const Case cases[] = {
        {"127.0.0.1", 1, "127.0.0.1", ""},
        {"10.1", 1, "10.0.0.1", ""},  // the short numeric forms need no lookup either
        {"255.255.255.255", 1, "255.255.255.255", ""},
        {"localhost", 1, "127.0.0.1", ""},
        {loopback::kUnresolvable, -2, "", "Cannot resolve server name to IP address"},
        {"", -2, "", "Cannot resolve server name to IP address"},
        {nullptr, -2, "", "Cannot resolve server name to IP address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host ? c.host : "(null)");
        unsigned int ip = 0;
        String error("stale");
        EXPECT_EQ(GetHostIP(c.host, ip, error), c.result);
        EXPECT_EQ(Str(error), c.error);
        if (c.result == 1) {
            EXPECT_EQ(Str(IP2String(ip)), c.ip);
        }
    }
}

TEST(NameResolutionTest, ConcurrentCallsAgree) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; i++) {
                unsigned int ip = 0;
                String error;
                if (GetHostIP("localhost", ip, error) != 1 || Str(IP2String(ip)) != "127.0.0.1")
                    failures++;
                char buf[16];
                in_addr a;
                a.s_addr = htonl(0x0A000000u + unsigned(i));
                const std::string want = "10.0.0." + std::to_string(i);
                if (want != inet_ntoa_safe(a, buf, sizeof buf)) failures++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(TcpListenTest, ListensOnFreePortAndRefusesPortInUse) {
    String error("stale");
    const int fd = TcpListen("127.0.0.1", 0, error);
    ASSERT_GT(fd, 0) << Str(error);
    EXPECT_EQ(Str(error), "");
    EXPECT_TRUE(IsCloseOnExec(fd));
    const int port = BoundPort(fd);

    // It really listens: a connection completes.
    int sock = -1;
    String cerr;
    EXPECT_EQ(PerformConnect(sock, "127.0.0.1", port, 1000, cerr), 1) << Str(cerr);
    if (sock >= 0) close(sock);

    struct Case {
        const char* host;
        std::string service;
    };
    const Case busy[] = {{"127.0.0.1", std::to_string(port)}, {nullptr, std::to_string(port)}};
    for (const Case& c : busy) {
        SCOPED_TRACE(c.host ? c.host : "(any)");
        String e2;
        EXPECT_EQ(TcpListen(c.host, c.service.c_str(), e2), 0);
        EXPECT_EQ(Str(e2),
                  "socket() or bind() error\nport " + c.service + ": " + std::strerror(EADDRINUSE));
    }
    close(fd);
}

TEST(TcpListenTest, LookupFailureGivesTheLookupText) {
    struct Case {
        const char* host;
        const char* service;
    };
    const Case cases[] = {{"127.0.0.1", "no-such-service-name"}, {loopback::kUnresolvable, "0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.service);
        String error;
        EXPECT_EQ(TcpListen(c.host, c.service, error), 0);
        EXPECT_GT(error.Length(), 0);
        EXPECT_EQ(Str(error).find("socket() or bind() error"), std::string::npos);
    }
}

TEST(PerformConnectTest, ResultCodesAndTexts) {
    TcpServer server([](int) {}, 2);
    const int closed = ClosedPort();
    struct Case {
        const char* host;
        int port;
        int timeoutMs;
        int result;
        std::string error;
        bool hasSocket;
    };
    const Case cases[] = {
        {"127.0.0.1", server.port(), 1000, 1, "", true},
        {"127.0.0.1", server.port(), 0, 1, "", true},
        {"127.0.0.1", closed, 1000, -6, Text(ECONNREFUSED), true},
        {"127.0.0.1", closed, 0, -6, Text(ECONNREFUSED), true},
        {loopback::kUnresolvable, closed, 1000, -2, "Cannot resolve server name to IP address",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port) + " limit " +
                     std::to_string(c.timeoutMs));
        int sock = 12345;
        String error("stale");
        EXPECT_EQ(PerformConnect(sock, c.host, c.port, c.timeoutMs, error), c.result);
        EXPECT_EQ(Str(error), c.error);
        EXPECT_EQ(sock >= 0, c.hasSocket);
        if (sock >= 0) {
            EXPECT_TRUE(IsCloseOnExec(sock));
            const bool nonBlocking = (fcntl(sock, F_GETFL) & O_NONBLOCK) != 0;
            EXPECT_EQ(nonBlocking, c.timeoutMs > 0);
            close(sock);
        }
    }
}

TEST(PerformConnectTest, UnansweredConnectTimesOut) {
    // A listener whose accept queue is full drops further handshakes, so a
    // connect to it never completes.
    const int fd = BindLoopback(SOCK_STREAM);
    ASSERT_EQ(listen(fd, 0), 0);
    const int port = BoundPort(fd);
    std::vector<int> held;
    int result = 1;
    String error;
    for (int i = 0; i < 16 && result == 1; i++) {
        int sock = -1;
        result = PerformConnect(sock, "127.0.0.1", port, 300, error);
        if (sock >= 0) held.push_back(sock);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Str(error), "Timeout");
    for (int s : held) close(s);
    close(fd);
}

TEST(TcpExchangeTest, SendsReceivesAndReportsFailures) {
    const int closed = ClosedPort();
    struct Case {
        const char* name;
        std::function<void(int)> server;  // null: no server
        const char* host;
        std::string send;
        int recvLen;
        int timeoutMs;
        int result;
        std::string answer;
        std::string error;
    };
    const Case cases[] = {
        {"echo", Echo, "127.0.0.1", "hello", 64, 2000, 5, "hello", ""},
        {"answer longer than buffer", Echo, "127.0.0.1", "hello world", 5, 2000, 5, "hello", ""},
        {"nothing to receive", [](int c) { ReadAvailable(c, 100); }, "127.0.0.1", "hello", 0, 2000,
         1, "", ""},
        {"nothing to send", [](int c) { send(c, "hi", 2, MSG_NOSIGNAL); }, "127.0.0.1", "", 10,
         2000, 2, "hi", ""},
        // Reading first makes the close a clean end of stream, not a reset.
        {"peer closes", [](int c) { ReadAvailable(c, 1, 1000); }, "127.0.0.1", "x", 10, 2000, 0, "",
         ""},
        {"peer silent", [](int c) { ReadAvailable(c, 100, 1500); }, "127.0.0.1", "x", 10, 200, 0,
         "", "Timeout"},
        {"closed port", nullptr, "127.0.0.1", "x", 10, 500, -6, "", Text(ECONNREFUSED)},
        {"no such host", nullptr, loopback::kUnresolvable, "x", 10, 500, -2, "",
         "Cannot resolve server name to IP address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TcpServer> server;
        if (c.server) server = std::make_unique<TcpServer>(c.server);
        const int port = server ? server->port() : closed;
        char answer[64] = {};
        String error("stale");
        EXPECT_EQ(SendReceiveTCPPacket(c.host, port, c.timeoutMs, c.send.data(), answer,
                                       int(c.send.size()), c.recvLen, error),
                  c.result);
        EXPECT_EQ(std::string(answer), c.answer);
        EXPECT_EQ(Str(error), c.error);
    }
}

TEST(TcpExchangeTest, LargeSendArrivesWhole) {
    // Far more than one send() takes on a non-blocking socket.
    const std::string payload(8 * 1024 * 1024, 'p');
    std::atomic<size_t> received{0};
    TcpServer server([&](int c) {
        const std::string got = ReadAvailable(c, payload.size(), 2000);
        received = got.size();
        const std::string reply = std::to_string(got.size());
        send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    });
    char answer[32] = {};
    String error;
    const int r = SendReceiveTCPPacket("127.0.0.1", server.port(), 10000, payload.data(), answer,
                                       int(payload.size()), int(sizeof answer - 1), error);
    EXPECT_GT(r, 0) << Str(error);
    EXPECT_EQ(std::string(answer), std::to_string(payload.size()));
    EXPECT_EQ(received.load(), payload.size());
}

TEST(TcpExchangeTest, PeerThatNeverReadsCannotHoldASendBeyondTheLimit) {
    // A listener with a tiny receive buffer whose connections are never
    // accepted or read: the payload outgrows every buffer on the way.
    const int fd = BindLoopback(SOCK_STREAM);
    const int small = 4096;
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    const int port = BoundPort(fd);
    const std::string payload(16 * 1024 * 1024, 'p');
    const int len = int(payload.size());
    struct Case {
        const char* name;
        std::function<int(String&)> send;
    } cases[] = {
        {"exchange",
         [&](String& error) {
             char answer[8];
             return SendReceiveTCPPacket("127.0.0.1", port, 1000, payload.data(), answer, len,
                                         int(sizeof answer), error);
         }},
        {"sync socket",
         [&](String& error) {
             TSyncSocket s(1);
             if (s.Connect("127.0.0.1", port, 1000) != 1) return -100;
             const int r = s.SendBuf(payload.data(), len, 1000);
             error = s.error;
             return r;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        String error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.send(error), 0);
        EXPECT_EQ(Str(error), "Timeout");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    }
    close(fd);
}

TEST(UdpExchangeTest, SendsReceivesAndReportsFailures) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> reply;  // null: no server
        const char* host;
        std::string send;
        int recvLen;
        int result;
        std::string answer;
        std::string error;
    };
    const auto echo = [](const std::string& d) { return d; };
    const Case cases[] = {
        {"echo", echo, "127.0.0.1", "ping", 64, 4, "ping", ""},
        {"answer cut to buffer", echo, "127.0.0.1", "ping-pong", 4, 4, "ping", ""},
        {"nothing to receive", echo, "127.0.0.1", "ping", 0, 4, "", ""},
        {"silent peer", [](const std::string&) { return std::string(); }, "127.0.0.1", "ping", 64,
         0, "", "Timeout"},
        {"no such host", nullptr, loopback::kUnresolvable, "ping", 64, -2, "",
         "Cannot resolve server name to IP address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<UdpServer> server;
        if (c.reply) server = std::make_unique<UdpServer>(c.reply);
        const int port = server ? server->port() : ClosedPort();
        char answer[64] = {};
        String error("stale");
        EXPECT_EQ(SendReceiveUDPPacket(c.host, port, 1, c.send.data(), answer, int(c.send.size()),
                                       c.recvLen, error),
                  c.result);
        EXPECT_EQ(std::string(answer), c.answer);
        EXPECT_EQ(Str(error), c.error);
        if (server) {
            EXPECT_EQ(server->Stop(), c.send);
        }
    }
}

TEST(SyncSocketTest, TcpConnectionSendsReadsAndDisconnects) {
    TcpServer server(Echo);
    TSyncSocket s(1);
    ASSERT_EQ(s.Connect("127.0.0.1", server.port(), 0), 1) << Str(s.error);
    EXPECT_TRUE(IsCloseOnExec(s.socket));
    EXPECT_EQ(s.Connected(), 1);
    EXPECT_EQ(s.SendString("abc", 0), 3);
    EXPECT_EQ(s.SendBuf("", 0, 0), 0);
    String got("stale");
    EXPECT_EQ(s.ReadString(got, 2000), 3);
    EXPECT_EQ(got, "abc");
    s.Disconnect();
    EXPECT_EQ(s.socket, -1);
    EXPECT_EQ(s.Connected(), 0);
    EXPECT_EQ(s.SendString("abc", 0), -4);
    EXPECT_EQ(Str(s.error), Text(EBADF));
}

TEST(SyncSocketTest, ReadWithoutDataTimesOut) {
    TcpServer server([](int c) { ReadAvailable(c, 100, 1000); });
    TSyncSocket s(1);
    ASSERT_EQ(s.Connect("127.0.0.1", server.port(), 500), 1) << Str(s.error);
    String got("stale");
    EXPECT_EQ(s.ReadString(got, 100), 0);
    EXPECT_EQ(Str(s.error), "Timeout");
    EXPECT_EQ(got, "");
}

TEST(SyncSocketTest, FailedConnectLeavesNoSocket) {
    const int closed = ClosedPort();
    struct Case {
        int type;
        const char* host;
        int timeoutMs;
        int result;
        std::string error;
    };
    const Case cases[] = {
        {1, "127.0.0.1", 0, -6, Text(ECONNREFUSED)},
        {1, "127.0.0.1", 500, -6, Text(ECONNREFUSED)},
        {1, loopback::kUnresolvable, 0, -2, "Cannot resolve server name to IP address"},
        {2, loopback::kUnresolvable, 0, -2, "Cannot resolve server name to IP address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.host + " " + std::to_string(c.timeoutMs));
        TSyncSocket s(c.type);
        EXPECT_EQ(s.Connect(c.host, closed, c.timeoutMs), c.result);
        EXPECT_EQ(Str(s.error), c.error);
        EXPECT_EQ(s.socket, -1);
        EXPECT_EQ(s.Connected(), 0);
    }
}

TEST(SyncSocketTest, UdpConnectionSendsDatagrams) {
    UdpServer server([](const std::string&) { return std::string(); });
    TSyncSocket s(2);
    ASSERT_EQ(s.Connect("127.0.0.1", server.port(), 0), 1) << Str(s.error);
    EXPECT_TRUE(IsCloseOnExec(s.socket));
    EXPECT_EQ(s.SendString("dgram", 0), 5);
    EXPECT_EQ(server.Stop(), "dgram");
}

TEST(SyncSocketTest, ReconnectAndDestructionCloseTheDescriptor) {
    // The server must have accepted both connections before the checks, or
    // its accept could take over a number just freed.
    std::atomic<int> accepted{0};
    TcpServer server([&](int) { accepted++; }, 2);
    int first = -1;
    int second = -1;
    {
        TSyncSocket s(1);
        ASSERT_EQ(s.Connect("127.0.0.1", server.port(), 0), 1);
        first = s.socket;
        ASSERT_EQ(s.Connect("127.0.0.1", server.port(), 0), 1);
        second = s.socket;
        for (int i = 0; i < 500 && accepted.load() < 2; i++) usleep(10000);
        ASSERT_EQ(accepted.load(), 2);
        // The second connection may reuse the first number only if it was closed.
        if (first != second) {
            EXPECT_EQ(fcntl(first, F_GETFD), -1);
        }
    }
    EXPECT_EQ(fcntl(second, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(SocketConcurrencyTest, ParallelExchangesKeepTheirOwnData) {
    const int kThreads = 4;
    const int kRounds = 10;
    TcpServer server(Echo, kThreads * kRounds);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; i++) {
                const std::string msg = "t" + std::to_string(t) + "-" + std::to_string(i);
                char answer[32] = {};
                String error;
                const int r = SendReceiveTCPPacket("127.0.0.1", server.port(), 5000, msg.data(),
                                                   answer, int(msg.size()), 31, error);
                if (r != int(msg.size()) || msg != answer) failures++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
