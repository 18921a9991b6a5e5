// Helpers for end-to-end tests that speak the wire protocol directly, for
// the requests the client cannot produce (malformed ones, other source
// addresses, connections held open).
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent_harness.h"
#include "protocol/clientpacket.h"
#include "protocol/tev_const.h"

namespace wire {

inline String S(const std::string& s) {
    return String(s.data(), int(s.size()));
}
inline std::string Std(const String& s) {
    return s.Length() ? std::string(s.Data(), s.Length()) : "";
}

// A TCP connection to the agent from a chosen loopback source address.
class Connection {
  public:
    Connection(int port, const char* source = "127.0.0.1") {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(source);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Close();
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Close();
    }
    ~Connection() { Close(); }
    bool Ok() const { return fd >= 0; }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    bool Send(const std::string& bytes) {
        size_t done = 0;
        while (fd >= 0 && done < bytes.size()) {
            const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += size_t(n);
        }
        return done == bytes.size();
    }
    // Reads until a whole reply packet arrived, the peer closed, or waitMs
    // passed. closed tells whether the agent closed the connection.
    std::string Receive(int waitMs, bool* closed = nullptr) {
        std::string got;
        bool peerClosed = false;
        const long long deadline = agent_harness_detail::NowMs() + waitMs;
        while (fd >= 0) {
            if (got.size() >= 4) {
                const unsigned int len = DecodeLength(got.data(), 4);
                if (got.size() >= 4ull + len) break;
            }
            const long long left = deadline - agent_harness_detail::NowMs();
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0) continue;
            char buf[65536];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                peerClosed = true;
                break;
            }
            got.append(buf, size_t(n));
        }
        if (closed) *closed = peerClosed;
        return got;
    }
    int fd = -1;
};

// The packet of a request body under password with a fixed session key.
inline std::string Packet(const std::string& password, const std::string& body,
                          const std::string& key = "0123456789abcdef") {
    return Std(BuildRequestPacket(S(password), S(key), S(body)));
}

// Sends body as one request and returns the decrypted reply body, or "" when
// no reply came within waitMs.
inline std::string Ask(int port, const std::string& password, const std::string& body,
                       const char* source = "127.0.0.1", int waitMs = 10000) {
    const std::string key = "0123456789abcdef";
    Connection c(port, source);
    if (!c.Ok() || !c.Send(Packet(password, body, key))) return "";
    String reply;
    if (!ParseReplyPacket(S(c.Receive(waitMs)), S(key), reply)) return "";
    return Std(reply);
}

// Sends the command and its parameters (one line each, then the closing CR)
// as one request, the way the monitoring server does, and returns the reply
// body without its closing CR ("" when no reply came within a minute).
inline std::string AskLines(const AgentHarness& a, const std::vector<std::string>& lines) {
    std::string body;
    for (const std::string& l : lines) body += l + "\n";
    body += "\r";
    std::string reply = Ask(a.port, a.password, body, "127.0.0.1", 60000);
    if (!reply.empty() && reply.back() == '\r') reply.pop_back();
    return reply;
}

// The value of the first "name=value" line in text, or "<missing>".
inline std::string Value(const std::string& text, const std::string& name) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (line.compare(0, name.size() + 1, name + "=") == 0) return line.substr(name.size() + 1);
        at = end + 1;
    }
    return "<missing>";
}

}  // namespace wire
