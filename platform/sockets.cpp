#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/requestscope.h"

TMutex iplib_mutex;

namespace {

const char kTimeout[] = "Timeout";
const char kCannotResolve[] = "Cannot resolve server name to IP address";
const char kUnknownAddress[] = "Name resolution error: unknown address structure";

// Milliseconds left until deadline, never negative.
int RemainingMs(long long deadline) {
    const long long left = deadline - NowMs();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : int(left);
}

// Waits until fd reports one of events (an error or hang-up also counts as
// ready: the following call reports it). timeoutMs < 0 waits without limit.
// On a thread that serves a request (requestscope.h) the wait ends with the
// request's budget (as a time-out) and when its peer closes (ECANCELED).
// Returns 1 ready, 0 timed out, -1 failed with errno set. Interruptions by
// signals resume with the time that is left.
int WaitReady(int fd, short events, int timeoutMs) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    const int budget = RequestMsLeft();
    if (budget != kNoRequestBudget && (timeoutMs < 0 || timeoutMs > budget)) timeoutMs = budget;
    const int peer = RequestPeerFd();
    const long long deadline = NowMs() + timeoutMs;
    int wait = timeoutMs;
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {peer, POLLRDHUP, 0}};
        const int rc = poll(p, peer >= 0 ? 2 : 1, wait);
        if (rc > 0) {
            if (p[0].revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            if (p[0].revents == 0) {
                errno = ECANCELED;
                return -1;
            }
            return 1;
        }
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
        if (timeoutMs >= 0) wait = RemainingMs(deadline);
    }
}

// Fills sa with host's IPv4 address and port (host order in, network order
// stored). Returns 1, or -2 with GetHostIP's error text.
int BuildAddress(const char* host, int port, sockaddr_in& sa, String& error) {
    std::memset(&sa, 0, sizeof sa);
    unsigned int ip = 0;
    const int r = GetHostIP(host, ip, error);
    if (r != 1) return r;
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)port);
    sa.sin_addr.s_addr = ip;
    return 1;
}

// Sends all len bytes. A full socket buffer is waited out, for at most
// timeoutMs in total (timeoutMs <= 0: no limit). Returns len, 0 with
// "Timeout", or -4 with the system text.
int SendAll(int fd, const char* buf, int len, int timeoutMs, String& error) {
    const long long deadline = NowMs() + timeoutMs;
    int done = 0;
    while (done < len) {
        const ssize_t n = send(fd, buf + done, size_t(len - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = GetErrorStr(errno);
            return -4;
        }
        const int w = WaitReady(fd, POLLOUT, timeoutMs > 0 ? RemainingMs(deadline) : -1);
        if (w == 0) {
            error = kTimeout;
            return 0;
        }
        if (w < 0) {
            error = GetErrorStr(errno);
            return -4;
        }
    }
    return len;
}

// Waits at most timeoutMs (<= 0: no wait) for data and receives once at
// most len bytes into buf. Returns the count (0: the peer closed), 0 with
// "Timeout", or -5 with the system text.
int ReceiveOnce(int fd, char* buf, int len, int timeoutMs, String& error) {
    const int w = WaitReady(fd, POLLIN, timeoutMs > 0 ? timeoutMs : 0);
    if (w == 0) {
        error = kTimeout;
        return 0;
    }
    if (w < 0) {
        error = GetErrorStr(errno);
        return -5;
    }
    for (;;) {
        const ssize_t n = recv(fd, buf, size_t(len), 0);
        if (n >= 0) return int(n);
        if (errno == EINTR) continue;
        if (errno == ETIMEDOUT) {
            error = kTimeout;
            return 0;
        }
        error = GetErrorStr(errno);
        return -5;
    }
}

// Waits at most timeoutMs (< 0: no limit) for a connect in progress on sock
// to finish. Returns 1, 0 with "Timeout", or -6 with the text of the wait's
// or the connection's error.
int AwaitConnect(int sock, int timeoutMs, String& error) {
    const int w = WaitReady(sock, POLLOUT, timeoutMs);
    if (w == 0) {
        error = kTimeout;
        return 0;
    }
    if (w < 0) {
        error = GetErrorStr(errno);
        return -6;
    }
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) pending = errno;
    if (pending != 0) {
        error = GetErrorStr(pending);
        return -6;
    }
    return 1;
}

// A listening descriptor of 0 would read as failure to TcpListen's callers;
// move such a socket to a higher number. Returns the descriptor to use, or
// -1 (the socket then is closed).
int AvoidDescriptorZero(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}

}  // namespace

char* inet_ntoa_safe(in_addr a, char* buf, int size) {
    if (!buf || size < 1) return buf;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &a, text, sizeof text)) text[0] = 0;
    size_t n = std::strlen(text);
    if (n > size_t(size - 1)) n = size_t(size - 1);
    std::memcpy(buf, text, n);
    buf[n] = 0;
    return buf;
}

int LookupHostIPv4(const char* host, unsigned int& ip, int& addrLen, int& lookupError) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per protocol
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        lookupError = rc != 0 ? rc : EAI_NONAME;
        if (res) freeaddrinfo(res);
        return -1;
    }
    addrLen = 0;
    if (res->ai_family == AF_INET && res->ai_addr && res->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in sa;
        std::memcpy(&sa, res->ai_addr, sizeof sa);
        ip = sa.sin_addr.s_addr;
        addrLen = int(sizeof sa.sin_addr);
    }
    freeaddrinfo(res);
    return 0;
}

int GetHostIP(const char* host, unsigned int& ip, String& error) {
    error = "";
    if (!host) {
        error = kCannotResolve;
        return -2;
    }
    in_addr a;
    if (inet_aton(host, &a) != 0) {
        ip = a.s_addr;
        return 1;
    }
    int addrLen = 0;
    int lookupError = 0;
    unsigned int found = 0;
    if (LookupHostIPv4(host, found, addrLen, lookupError) != 0) {
        error = kCannotResolve;
        return -2;
    }
    if (addrLen != 4) {
        error = kUnknownAddress;
        return -2;
    }
    ip = found;
    return 1;
}

unsigned int GetMyIP() {
    char name[256];
    if (gethostname(name, 255) != 0) return 0;
    name[255] = 0;
    unsigned int ip = 0;
    int addrLen = 0;
    int lookupError = 0;
    if (LookupHostIPv4(name, ip, addrLen, lookupError) != 0 || addrLen != 4) return 0;
    return ip;
}

String IP2String(unsigned int ip) {
    char buf[24];
    in_addr a;
    a.s_addr = ip;
    return String(inet_ntoa_safe(a, buf, sizeof buf));
}

namespace {

// "port <service>: <system text>", the line that tells an operator which
// port failed and why ("port 1055: Address already in use").
String PortReason(const char* service, int err) {
    String text("port ");
    text += service ? service : "";
    text += ": ";
    text += GetErrorStr(err);
    return text;
}

}  // namespace

int TcpListen(const char* host, const char* service, String& error) {
    error = "";
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo((host && *host) ? host : nullptr, service, &hints, &res);
    if (rc != 0) {
        error = gai_strerror(rc);
        return 0;
    }
    int fd = -1;
    int lastErrno = 0;
    for (const addrinfo* ai = res; ai; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd >= 0) fd = AvoidDescriptorZero(fd);
        lastErrno = errno;
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        lastErrno = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        error = String("socket() or bind() error\n") + PortReason(service, lastErrno);
        return 0;
    }
    if (listen(fd, 512) != 0) {
        lastErrno = errno;
        close(fd);
        error = String("listen() error\n") + PortReason(service, lastErrno);
        return 0;
    }
    return fd;
}

int TcpListen(const char* host, int port, String& error) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    return TcpListen(host, service, error);
}

void CloseConnection(int fd) {
    if (fd < 0) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

bool HandshakeWasRepeated(int fd) {
    struct tcp_info info;
    socklen_t size = sizeof info;
    std::memset(&info, 0, sizeof info);
    // Without an answer (an emulator such as qemu-user passes on only an
    // int of it) a silent connection is taken for a deferred one, which the
    // deferral makes the likely case.
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return true;
    if (size < offsetof(struct tcp_info, tcpi_total_retrans) + sizeof info.tcpi_total_retrans)
        return true;
    // A new connection's count of retransmissions starts at the SYN-ACKs
    // its request sent again.
    return info.tcpi_total_retrans > 0;
}

int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& error) {
    error = "";
    sock = -1;
    sockaddr_in sa;
    const int r = BuildAddress(host, port, sa, error);
    if (r != 1) return r;
    sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        error = GetErrorStr(errno);
        return -3;
    }
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&sa);
    if (timeoutMs <= 0) {
        if (connect(sock, addr, sizeof sa) == 0) return 1;
        // A signal does not stop the handshake; wait for its outcome.
        if (errno == EINTR) return AwaitConnect(sock, -1, error);
        error = GetErrorStr(errno);
        return -6;
    }
    int on = 1;
    if (ioctl(sock, FIONBIO, &on) != 0) {
        error = String("ioctl error - ") + GetErrorStr(errno);
        return -3;
    }
    if (connect(sock, addr, sizeof sa) != 0 && errno != EINPROGRESS && errno != EALREADY &&
        errno != EISCONN) {
        error = GetErrorStr(errno);
        return -6;
    }
    return AwaitConnect(sock, timeoutMs, error);
}

int TCPConnect(const char* host, int port, int timeoutMs, String& error) {
    int sock = -1;
    const int r = PerformConnect(sock, host, port, timeoutMs, error);
    if (sock >= 0) close(sock);
    return r;
}

int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuf,
                         char* recvBuf, int sendLen, int recvLen, String& error) {
    int sock = -1;
    int r = PerformConnect(sock, host, port, timeoutMs, error);
    if (r == 1 && sendLen > 0) {
        const int s = SendAll(sock, sendBuf, sendLen, timeoutMs, error);
        if (s <= 0) r = s;
    }
    if (r == 1 && recvLen > 0) r = ReceiveOnce(sock, recvBuf, recvLen, timeoutMs, error);
    if (sock >= 0) close(sock);
    return r;
}

int SendReceiveUDPPacket(const char* host, int port, int timeoutSeconds, const char* sendBuf,
                         char* recvBuf, int sendLen, int recvLen, String& error) {
    error = "";
    sockaddr_in sa;
    const int r = BuildAddress(host, port, sa, error);
    if (r != 1) return r;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = GetErrorStr(errno);
        return -3;
    }
    int count = 0;
    if (sendLen > 0) {
        const ssize_t n = sendto(fd, sendBuf, size_t(sendLen), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n < 0) {
            error = GetErrorStr(errno);
            close(fd);
            return -4;
        }
        count = int(n);
    }
    if (recvLen > 0) {
        const int waitMs = timeoutSeconds <= 0               ? 0
                           : timeoutSeconds > INT_MAX / 1000 ? INT_MAX
                                                             : timeoutSeconds * 1000;
        count = ReceiveOnce(fd, recvBuf, recvLen, waitMs, error);
        if (count < 0 || (count == 0 && error.Length() > 0)) {
            close(fd);
            return count;
        }
    }
    close(fd);
    error = "";
    return count;
}

// ---------------------------------------------------------------------------
// TSyncSocket

TSyncSocket::TSyncSocket(int aType) : type(aType) {}

TSyncSocket::~TSyncSocket() {
    Disconnect();
}

int TSyncSocket::Connect(const char* host, int port, int timeoutMs) {
    Disconnect();
    if (type == 1) {
        const int r = PerformConnect(socket, host, port, timeoutMs, error);
        // A half-made connection must not look connected later.
        if (r != 1 && socket >= 0) {
            close(socket);
            socket = -1;
        }
        return r;
    }
    sockaddr_in sa;
    const int r = BuildAddress(host, port, sa, error);
    if (r != 1) return r;
    socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        error = GetErrorStr(errno);
        return -3;
    }
    if (connect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = GetErrorStr(errno);
        close(socket);
        socket = -1;
        return -6;
    }
    return 1;
}

int TSyncSocket::SendBuf(const char* buf, int len, int timeoutMs) {
    error = "";
    if (len < 1) return 0;
    return SendAll(socket, buf, len, timeoutMs, error);
}

int TSyncSocket::SendString(const String& s, int timeoutMs) {
    return SendBuf(s.Data(), s.Length(), timeoutMs);
}

int TSyncSocket::ReadString(String& out, int timeoutMs) {
    error = "";
    out = "";
    char buf[20480];
    const int n = ReceiveOnce(socket, buf, int(sizeof buf), timeoutMs, error);
    if (n > 0) out.AddData(buf, n);
    return n;
}

int TSyncSocket::Connected() {
    if (socket < 0) return 0;
    pollfd p{socket, POLLIN, 0};
    if (poll(&p, 1, 5) < 0) return 0;
    return (p.revents & POLLNVAL) ? 0 : 1;
}

void TSyncSocket::Disconnect() {
    error = "";
    if (socket >= 0) close(socket);
    socket = -1;
}
