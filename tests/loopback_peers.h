// Peers for the network tests and actions: small TCP and UDP servers on
// ephemeral loopback ports, run by the test itself in one thread each. They
// record what arrives (with arrival times) so a test can check what the
// agent sent. Every descriptor is close-on-exec; destructors stop the thread
// and close everything.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace loopback {

// A host name that never resolves and fails before any question leaves the
// machine: a name with an empty label cannot be put into a DNS query, so
// the resolver refuses it locally. ("x.invalid" would be asked of the
// configured name server, which is traffic off the loopback.)
constexpr const char kUnresolvable[] = "no-such-host..invalid";

// A socket of type bound to an ephemeral port of address (a 127.x.y.z
// text); -1 on failure. port receives the port chosen.
inline int BindEphemeral(int type, const char* address, int& port) {
    port = 0;
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(address);
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(sa.sin_port);
    return fd;
}

// One piece of data as it arrived.
struct Chunk {
    long long atMs;  // NowMs() at arrival
    std::string bytes;
};

// Bookkeeping shared by the servers: received pieces and a stop pipe.
class PeerBase {
  public:
    PeerBase() {
        if (pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
    }
    ~PeerBase() = default;
    PeerBase(const PeerBase&) = delete;
    PeerBase& operator=(const PeerBase&) = delete;

    int port() const { return port_; }
    bool ok() const { return fd_ >= 0 && stop_[0] >= 0; }

    // Everything received so far, in order.
    std::vector<Chunk> Chunks() {
        std::lock_guard<std::mutex> lock(mu_);
        return chunks_;
    }
    // All received bytes joined.
    std::string Received() {
        std::string all;
        for (const Chunk& c : Chunks()) all += c.bytes;
        return all;
    }
    // Waits up to timeoutMs until at least n chunks arrived.
    bool WaitForChunks(size_t n, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return chunks_.size() >= n; });
    }
    // Waits up to timeoutMs until at least n bytes arrived in total.
    bool WaitForBytes(size_t n, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            size_t total = 0;
            for (const Chunk& c : chunks_) total += c.bytes.size();
            return total >= n;
        });
    }

  protected:
    void Record(const char* p, size_t n) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            chunks_.push_back(Chunk{NowMs(), std::string(p, n)});
        }
        cv_.notify_all();
    }
    // Stops and joins the thread, closes the descriptors. Derived
    // destructors call it before their members go.
    void Shutdown() {
        if (stop_[1] >= 0) {
            const char b = 1;
            (void)!write(stop_[1], &b, 1);
        }
        if (thread_.joinable()) thread_.join();
        for (int* fd : {&fd_, &stop_[0], &stop_[1]}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }

    int fd_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::thread thread_;

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Chunk> chunks_;
};

// TCP server. Every connection is accepted; what it does then:
//   kEcho:   records and sends back every piece received;
//   kAnswer: records what arrives and answers the first piece of each
//            connection with the fixed answer, in one send;
//   kSilent: never reads and never answers, but keeps the connection open;
//   kRecord: records what arrives, never answers.
class TcpPeer : public PeerBase {
  public:
    enum Mode { kEcho, kAnswer, kSilent, kRecord };

    explicit TcpPeer(Mode mode, std::string answer = "", const char* address = "127.0.0.1")
        : mode_(mode), answer_(std::move(answer)) {
        fd_ = BindEphemeral(SOCK_STREAM, address, port_);
        if (fd_ >= 0 && listen(fd_, 16) != 0) {
            close(fd_);
            fd_ = -1;
        }
        if (ok()) thread_ = std::thread([this] { Serve(); });
    }
    ~TcpPeer() { Shutdown(); }

  private:
    struct Client {
        int fd;
        bool answered;
    };

    void Serve() {
        std::vector<Client> clients;
        for (;;) {
            std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
            for (const Client& c : clients)
                fds.push_back({c.fd, short(mode_ == kSilent ? 0 : POLLIN), 0});
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents) break;
            if (fds[1].revents & POLLIN) {
                const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) clients.push_back({c, false});
            }
            for (size_t i = 2; i < fds.size(); i++) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                Client& c = clients[i - 2];
                char buf[65536];
                const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    close(c.fd);
                    c.fd = -1;
                    continue;
                }
                Record(buf, size_t(n));
                if (mode_ == kEcho) send(c.fd, buf, size_t(n), MSG_NOSIGNAL);
                if (mode_ == kAnswer && !c.answered)
                    send(c.fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
                c.answered = true;
            }
            std::vector<Client> open;
            for (const Client& c : clients)
                if (c.fd >= 0) open.push_back(c);
            clients.swap(open);
        }
        for (const Client& c : clients) close(c.fd);
    }

    Mode mode_;
    std::string answer_;
};

// UDP port. Every datagram is recorded; kEcho sends it back to its sender,
// kRecord never answers (a silent port, or a syslog receiver).
class UdpPeer : public PeerBase {
  public:
    enum Mode { kEcho, kRecord };

    explicit UdpPeer(Mode mode, const char* address = "127.0.0.1") : mode_(mode) {
        fd_ = BindEphemeral(SOCK_DGRAM, address, port_);
        if (ok()) thread_ = std::thread([this] { Serve(); });
    }
    ~UdpPeer() { Shutdown(); }

  private:
    void Serve() {
        for (;;) {
            pollfd fds[2] = {{stop_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[0].revents) break;
            char buf[65536];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            Record(buf, size_t(n));
            if (mode_ == kEcho)
                sendto(fd_, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    Mode mode_;
};

// A loopback TCP port that refuses connections: bound (so nobody else takes
// it while the test runs) but not listening.
class ClosedTcpPort {
  public:
    ClosedTcpPort() { fd_ = BindEphemeral(SOCK_STREAM, "127.0.0.1", port_); }
    ~ClosedTcpPort() {
        if (fd_ >= 0) close(fd_);
    }
    ClosedTcpPort(const ClosedTcpPort&) = delete;
    ClosedTcpPort& operator=(const ClosedTcpPort&) = delete;
    int port() const { return port_; }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace loopback
