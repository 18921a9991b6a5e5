#include "protocol/clientpacket.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/namelookup.h"
#include "platform/randombytes.h"
#include "platform/syserror.h"
#include "protocol/crypto/md5.h"
#include "protocol/tev_const.h"

namespace {

// A length field of `digits` zero bytes, for pieces that EncodeData leaves
// empty (it writes no length field for empty data).
String ZeroField(int digits) {
    const char zeros[4] = {0, 0, 0, 0};
    return String(zeros, digits);
}

// v as 4 bytes, least significant first (the packet length field N).
String LittleEndian32(unsigned int v) {
    char b[4];
    for (int i = 0; i < 4; i++) b[i] = char((v >> (8 * i)) & 0xFF);
    return String(b, 4);
}

// Milliseconds left until deadline, 0 when it has passed.
int LeftMs(long long deadline) {
    const long long left = deadline - NowMs();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : int(left);
}

// The error text for err: "connection refused" and "timed out" for the two
// outcomes callers tell apart, the system's text otherwise.
String ErrnoText(int err) {
    if (err == ECONNREFUSED) return String("connection refused");
    if (err == ETIMEDOUT) return String("timed out");
    return GetErrorStr(err);
}

// Waits for events on fd until deadline. Returns the revents (> 0), 0 on
// time-out, -1 with errno on failure. Interrupted waits are resumed.
int WaitFor(int fd, short events, long long deadline) {
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        const int left = LeftMs(deadline);
        if (left == 0) return 0;
        const int rc = poll(&p, 1, left);
        if (rc > 0) return p.revents;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

// Non-blocking connect to one resolved address, finished within deadline.
// Returns the descriptor, or -1 with err set.
int ConnectOne(const struct addrinfo* ai, long long deadline, int& err) {
    const int fd =
        socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS && errno != EINTR) {
        err = errno;
        close(fd);
        return -1;
    }
    const int ev = WaitFor(fd, POLLOUT, deadline);
    if (ev <= 0) {
        err = ev == 0 ? ETIMEDOUT : errno;
        close(fd);
        return -1;
    }
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
    if (soErr != 0) {
        err = soErr;
        close(fd);
        return -1;
    }
    return fd;
}

// Resolves host (within the deadline: "name lookup timed out") and connects
// to the first address that answers. Returns the descriptor or -1 with
// error set.
int ConnectTo(const char* host, int port, long long deadline, String& error) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    struct addrinfo* list = nullptr;
    bool timedOut = false;
    const int rc = LookupWithin(host, service, hints, deadline, &list, timedOut);
    if (rc != 0) {
        error = timedOut ? "name lookup timed out" : gai_strerror(rc);
        return -1;
    }
    int err = ECONNREFUSED;
    int fd = -1;
    for (const struct addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
        fd = ConnectOne(ai, deadline, err);
        if (err == ETIMEDOUT) break;
    }
    freeaddrinfo(list);
    if (fd < 0) error = ErrnoText(err);
    return fd;
}

// Sends all of packet. Returns 1 when sent, 0 when the peer closed the
// connection, -1 with error set on time-out or failure.
int SendAll(int fd, const String& packet, long long deadline, String& error) {
    int sent = 0;
    while (sent < packet.Length()) {
        const ssize_t n =
            send(fd, packet.Data() + sent, size_t(packet.Length() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += int(n);
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET) return 0;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = ErrnoText(errno);
            return -1;
        }
        const int ev = WaitFor(fd, POLLOUT, deadline);
        if (ev <= 0) {
            error = ErrnoText(ev == 0 ? ETIMEDOUT : errno);
            return -1;
        }
    }
    return 1;
}

// Bytes still missing from the reply in `got`; the length field counts once
// its 4 bytes are there. Sets tooLarge for a length beyond MAX_REPLY_PACKET.
unsigned long long Missing(const String& got, bool& tooLarge) {
    if (got.Length() < 4) return 4ull - got.Length();
    const unsigned long long total = 4ull + DecodeLength(got.Data(), 4);
    tooLarge = total > MAX_REPLY_PACKET;
    return total - static_cast<unsigned long long>(got.Length());
}

// Reads exactly one reply packet (never beyond its length field).
// Results as for ExchangePacket.
int ReceiveReply(int fd, long long deadline, String& reply, String& error) {
    char buf[65536];
    for (;;) {
        bool tooLarge = false;
        const unsigned long long missing = Missing(reply, tooLarge);
        if (tooLarge) {
            error = "reply too large";
            return -1;
        }
        if (missing == 0) return 1;
        const size_t want = missing < sizeof buf ? size_t(missing) : sizeof buf;
        const ssize_t n = recv(fd, buf, want, 0);
        if (n > 0) {
            reply.AddData(buf, int(n));
            continue;
        }
        if (n == 0 || errno == ECONNRESET) {
            error = reply.Length() == 0 ? "no reply (connection closed)"
                                        : "incomplete reply (connection closed)";
            return 0;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = ErrnoText(errno);
            return -1;
        }
        const int ev = WaitFor(fd, POLLIN, deadline);
        if (ev == 0) {
            error = "timed out";
            return -1;
        }
        if (ev < 0) {
            error = ErrnoText(errno);
            return -1;
        }
    }
}

}  // namespace

String BuildRequestBody(const String& command, const TStrList& params) {
    String body = command;
    body += '\n';
    for (int i = 0; i < params.Count(); i++) {
        body += params[i];
        body += '\n';
    }
    body += '\r';
    return body;
}

String BuildRequestPacket(const String& password, const String& sessionKey, const String& body) {
    if (sessionKey.Length() > 0xFFFF) return String();
    // Fixed fields, digest and key stay below 64 KiB + 40; the body must
    // leave room for them in an int-sized String.
    if (body.Length() > INT_MAX - 0x20000) return String();
    const String digest = EncodePswd(password);
    String key = EncodeData(sessionKey, password, SIZELEN_KEY);
    if (key.Length() == 0) key = ZeroField(SIZELEN_KEY);
    String text = EncodeData(body, sessionKey, SIZELEN_REQUEST);
    if (text.Length() == 0) text = ZeroField(SIZELEN_REQUEST);

    String rest;
    rest += char(PACKET_TAG_0);
    rest += char(PACKET_TAG_1);
    rest += EncodeLength(digest, SIZELEN_PSWD);
    rest += digest;
    rest += key;
    rest += text;
    return LittleEndian32(static_cast<unsigned int>(rest.Length())) + rest;
}

int ParseReplyPacket(const String& packet, const String& sessionKey, String& body) {
    body = String();
    if (packet.Length() < 4) return 0;
    const unsigned long long len = DecodeLength(packet.Data(), 4);
    if (len + 4 != static_cast<unsigned long long>(packet.Length())) return 0;
    body = DecodeData(packet.Copy(5, int(len)), sessionKey);
    return 1;
}

namespace {

// Connects, sends packet and receives the reply packet, all by deadline.
// Returns ExchangePacket's result; fd is the connection (left open for the
// caller to close) or -1 when none was made.
int Converse(const char* host, int port, const String& packet, long long deadline, int& fd,
             String& reply, String& error) {
    reply = String();
    error = String();
    fd = ConnectTo(host, port, deadline, error);
    if (fd < 0) return -1;
    int rc = SendAll(fd, packet, deadline, error);
    if (rc == 0) error = "no reply (connection closed)";
    if (rc == 1) rc = ReceiveReply(fd, deadline, reply, error);
    return rc;
}

}  // namespace

int ExchangePacket(const char* host, int port, const String& packet, int timeoutMs, String& reply,
                   String& error) {
    const long long deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    int fd = -1;
    const int rc = Converse(host, port, packet, deadline, fd, reply, error);
    if (fd >= 0) close(fd);
    return rc;
}

String UpgradeTrailer(const String& file, const String& sessionKey) {
    MD5Context ctx;
    MD5Open(&ctx);
    MD5Digest(&ctx, file.Data(), static_cast<unsigned long>(file.Length()));
    unsigned char digest[16];
    MD5Close(&ctx, digest);
    return EncodeData(String(reinterpret_cast<const char*>(digest), 16), sessionKey, 0);
}

int SendUpgrade(const char* host, int port, const String& password, const String& sessionKey,
                const String& file, int timeoutMs, String& reply, String& error) {
    char size[24];
    std::snprintf(size, sizeof size, "%d", file.Length());
    TStrList params;
    params.Add(String(size));
    const String packet =
        BuildRequestPacket(password, sessionKey, BuildRequestBody(String("UpgradeCode"), params));
    // Ready before the request goes out: the agent's stall limit runs from
    // its "200", and a digest of megabytes on a busy host can outlast it.
    const String payload = file + UpgradeTrailer(file, sessionKey);
    const long long deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    int fd = -1;
    int rc = Converse(host, port, packet, deadline, fd, reply, error);
    if (fd < 0) return rc;
    String body;
    if (rc == 1 && ParseReplyPacket(reply, sessionKey, body) && body.Copy(1, 4) == "200\n") {
        // The agent stops reading once it has judged the transfer; a send
        // cut short that way still leaves its verdict to be read.
        rc = SendAll(fd, payload, deadline, error);
        if (rc >= 0) {
            reply = String();
            error = String();
            rc = ReceiveReply(fd, deadline, reply, error);
        }
    }
    close(fd);
    return rc;
}

int SplitReplyBody(const String& body, String& code, TStrList& values) {
    values.Clear();
    const int firstLf = body.Pos('\n');
    if (firstLf == 0) {
        code = body;
        if (code.Length() > 0 && code[code.Length()] == '\r') code.SetLength(code.Length() - 1);
        return 0;
    }
    code = body.Copy(1, firstLf - 1);
    int start = firstLf + 1;
    for (int i = start; i <= body.Length(); i++) {
        if (body[i] != '\n') continue;
        values.Add(body.Copy(start, i - start));
        start = i + 1;
    }
    // What follows the last LF must be the closing CR alone.
    return body.Length() - start + 1 == 1 && body[start] == '\r' ? 1 : 0;
}

int NewSessionKey(String& key, String& error) {
    key = String();
    unsigned char raw[16];
    const int err = RandomBytes(raw, sizeof raw, 0);
    if (err != 0) {
        error = ErrnoText(err);
        return 0;
    }
    static const char hex[] = "0123456789abcdef";
    for (unsigned char b : raw) {
        key += hex[b >> 4];
        key += hex[b & 0x0F];
    }
    return 1;
}
