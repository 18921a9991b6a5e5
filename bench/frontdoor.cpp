// frontdoor: what strangers on the network can do to an agent running on this
// host (loopback only), measured from outside.
//
// Flood mode:   frontdoor -p port -w password --flood N [--announce BYTES]
//                         --agent-pid PID
//   N connections from 127.0.0.3 each announce a packet of BYTES (default
//   16 MiB) with a wrong password digest and try to send all but its last
//   byte. Reports the bytes the agent took and its resident memory before,
//   while the connections are held, and after they closed.
// Trickle mode: frontdoor -p port -w password --trickle N [--seconds S]
//   N connections from 127.0.0.3 each send one byte of a packet every 2 s
//   (reopened once the agent drops them, at most once a second) while a real
//   request from 127.0.0.2 is timed every 250 ms for S seconds (default 20).
//   Reports the answer times and how many requests got no answer.
// Settings mode: frontdoor -p port -w password --set-lines N
//   times one "SetSettings" request of N lines "TCP=1" from 127.0.0.1 (the
//   work per parameter line, and how long the settings lock is held).
// Counts and durations are bounded so that a typo cannot flood the machine.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "protocol/clientpacket.h"
#include "protocol/tev_const.h"
#include "tools/cli_args.h"

namespace {

using bench::NowSeconds;
using bench::RaiseFileLimit;

const int kRequestTimeoutMs = 10000;

struct Options {
    int port = 0;
    std::string password;
    long flood = 0;
    long announce = 16L * 1024 * 1024;
    long trickle = 0;
    long seconds = 20;
    long agentPid = 0;
    long setLines = 0;
};

const char kUsage[] =
    "Usage: frontdoor -p port -w password --flood N [--announce BYTES] --agent-pid PID\n"
    "       frontdoor -p port -w password --trickle N [--seconds S]\n"
    "       frontdoor -p port -w password --set-lines N\n"
    "  --flood 1..256   --announce 64..16777216   --trickle 1..5000   --seconds 1..600\n"
    "  --set-lines 1..1000000\n";

bool ParseArgs(int argc, char** argv, Options& opt) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        long n = 0;
        bool ok = true;
        if (a == "-p") {
            ok = ParseDecimal(v, 1, 65535, n);
            opt.port = int(n);
        } else if (a == "-w") {
            opt.password = v;
        } else if (a == "--flood") {
            ok = ParseDecimal(v, 1, 256, opt.flood);
        } else if (a == "--announce") {
            ok = ParseDecimal(v, 64, 16L * 1024 * 1024, opt.announce);
        } else if (a == "--trickle") {
            ok = ParseDecimal(v, 1, 5000, opt.trickle);
        } else if (a == "--seconds") {
            ok = ParseDecimal(v, 1, 600, opt.seconds);
        } else if (a == "--set-lines") {
            ok = ParseDecimal(v, 1, 1000000, opt.setLines);
        } else if (a == "--agent-pid") {
            ok = ParseDecimal(v, 1, 0x7FFFFFFF, opt.agentPid);
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    if (argc % 2 == 0) return false;
    const int modes = (opt.flood > 0) + (opt.trickle > 0) + (opt.setLines > 0);
    return opt.port != 0 && modes == 1 && (opt.flood == 0 || opt.agentPid > 0);
}

// A non-blocking connection from source to the agent; -1 on failure.
int Connect(int port, const char* source) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(source);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// kB of a "Name:" line of /proc/PID/status; -1 when unreadable.
long StatusKb(long pid, const char* name) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/status", pid);
    FILE* f = std::fopen(path, "re");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    const size_t n = std::strlen(name);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, name, n) == 0) kb = std::atol(line + n);
    std::fclose(f);
    return kb;
}

// The header of a packet of `total` bytes whose digest is not the password's.
std::string ForgedHeader(unsigned int total, const std::string& password) {
    const unsigned int n = total - 4;
    std::string h(reinterpret_cast<const char*>(&n), 4);
    h += std::string("\x03\x12\x10\x00", 4);
    String digest = EncodePswd(String(password.data(), int(password.size())));
    std::string d(digest.Data(), size_t(digest.Length()));
    d[0] = char(d[0] ^ 0x5A);
    return h + d;
}

int RunFlood(const Options& opt) {
    RaiseFileLimit(opt.flood + 64);
    const long rss0 = StatusKb(opt.agentPid, "VmRSS:");
    const std::string header = ForgedHeader((unsigned int)opt.announce, opt.password);
    std::vector<int> fds;
    std::vector<long> sent;
    for (long i = 0; i < opt.flood; i++) {
        const int fd = Connect(opt.port, "127.0.0.3");
        if (fd < 0) continue;
        fds.push_back(fd);
        sent.push_back(0);
    }
    // Everything but the last byte, until the agent stops taking bytes for
    // two seconds (it holds them, or it has closed the connection).
    const long goal = opt.announce - 1;
    std::vector<char> filler(65536, 'x');
    double lastProgress = NowSeconds();
    const double start = lastProgress;
    while (NowSeconds() - lastProgress < 2.0 && NowSeconds() - start < 120) {
        bool progress = false;
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i] < 0 || sent[i] >= goal) continue;
            const char* p;
            size_t len;
            if (sent[i] < long(header.size())) {
                p = header.data() + sent[i];
                len = header.size() - size_t(sent[i]);
            } else {
                p = filler.data();
                len = size_t(std::min<long>(long(filler.size()), goal - sent[i]));
            }
            const ssize_t n = send(fds[i], p, len, MSG_NOSIGNAL);
            if (n > 0) {
                sent[i] += n;
                progress = true;
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
        if (progress)
            lastProgress = NowSeconds();
        else
            usleep(10000);
    }
    long total = 0, open = 0;
    for (size_t i = 0; i < fds.size(); i++) {
        total += sent[i];
        if (fds[i] >= 0) open++;
    }
    usleep(500000);
    const long rssHeld = StatusKb(opt.agentPid, "VmRSS:");
    for (int fd : fds)
        if (fd >= 0) close(fd);
    sleep(6);  // past the agent's idle limit: every session has ended
    const long rssAfter = StatusKb(opt.agentPid, "VmRSS:");
    const long hwm = StatusKb(opt.agentPid, "VmHWM:");
    std::printf("flood:            %ld connections announcing %ld bytes, wrong digest\n", opt.flood,
                opt.announce);
    std::printf(
        "bytes sent:       %.1f MiB in all (the kernel's socket buffers included), "
        "%ld connections still open after sending\n",
        double(total) / 1048576.0, open);
    std::printf(
        "agent VmRSS:      before %.1f MiB, held %.1f MiB, after close %.1f MiB, "
        "peak (VmHWM) %.1f MiB\n",
        rss0 / 1024.0, rssHeld / 1024.0, rssAfter / 1024.0, hwm / 1024.0);
    return 0;
}

// One timed request of body from source; seconds, or -1 without a reply
// whose result is "200".
double TimedRequest(const Options& opt, const String& requestBody = String("GetInfo\n\r"),
                    const char* source = "127.0.0.2", int timeoutMs = kRequestTimeoutMs) {
    String key, error, reply, body, code;
    if (!NewSessionKey(key, error)) return -1;
    const String packet =
        BuildRequestPacket(String(opt.password.data(), int(opt.password.size())), key, requestBody);
    const double t0 = NowSeconds();
    const int fd = Connect(opt.port, source);
    if (fd < 0) return -1;
    int sentBytes = 0;
    std::string got;
    const double deadline = t0 + timeoutMs / 1000.0;
    while (NowSeconds() < deadline) {
        struct pollfd p = {fd, short(sentBytes < packet.Length() ? POLLOUT : POLLIN), 0};
        poll(&p, 1, 50);
        if (sentBytes < packet.Length()) {
            const ssize_t n = send(fd, packet.Data() + sentBytes,
                                   size_t(packet.Length() - sentBytes), MSG_NOSIGNAL);
            if (n > 0)
                sentBytes += int(n);
            else if (n < 0 && errno != EAGAIN && errno != ENOTCONN)
                break;
            continue;
        }
        char buf[8192];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
        if (n > 0) got.append(buf, size_t(n));
        if (got.size() >= 4 && got.size() >= 4 + DecodeLength(got.data(), 4)) break;
    }
    const double seconds = NowSeconds() - t0;
    close(fd);
    TStrList values;
    if (!ParseReplyPacket(String(got.data(), int(got.size())), key, body) ||
        !SplitReplyBody(body, code, values) || !(code == "200"))
        return -1;
    return seconds;
}

int RunSetLines(const Options& opt) {
    std::string body = "SetSettings\n";
    for (long i = 0; i < opt.setLines; i++) body += "TCP=1\n";
    body += "\r";
    const double s = TimedRequest(opt, String(body.data(), int(body.size())), "127.0.0.1", 600000);
    std::printf("SetSettings:      %ld lines, %s %.1f ms\n", opt.setLines,
                s < 0 ? "no answer 200 after" : "answered in", s < 0 ? 0.0 : s * 1e3);
    return s < 0 ? 1 : 0;
}

int RunTrickle(const Options& opt) {
    RaiseFileLimit(opt.trickle + 64);
    const std::string header = ForgedHeader(200, opt.password);
    struct Conn {
        int fd;
        size_t pos;
        double next;  // when its next byte (or reopening) is due
    };
    std::vector<Conn> conns;
    const double t0 = NowSeconds();
    for (long i = 0; i < opt.trickle; i++)
        conns.push_back({Connect(opt.port, "127.0.0.3"), 0, t0 + double(i % 2000) / 1000.0});
    std::vector<double> latencies;
    long failures = 0, reopened = 0, dropped = 0;
    double nextProbe = t0 + 1.0;
    while (NowSeconds() - t0 < double(opt.seconds)) {
        const double now = NowSeconds();
        for (Conn& c : conns) {
            if (now < c.next) continue;
            if (c.fd >= 0) {
                char b;
                const ssize_t r = recv(c.fd, &b, 1, MSG_DONTWAIT);
                const bool gone = r == 0 || (r < 0 && errno != EAGAIN && errno != ENOTCONN);
                if (!gone &&
                    send(c.fd, header.data() + c.pos % header.size(), 1, MSG_NOSIGNAL) == 1) {
                    c.pos++;
                    c.next = now + 2.0;
                    continue;
                }
                close(c.fd);
                dropped++;
                c.fd = -1;
                c.next = now + 1.0;
                continue;
            }
            c.fd = Connect(opt.port, "127.0.0.3");
            c.pos = 0;
            c.next = now + 2.0;
            reopened++;
        }
        if (now >= nextProbe) {
            const double s = TimedRequest(opt);
            if (s < 0)
                failures++;
            else
                latencies.push_back(s);
            nextProbe += 0.25;
        }
        usleep(2000);
    }
    for (Conn& c : conns)
        if (c.fd >= 0) close(c.fd);
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double q) {
        if (latencies.empty()) return 0.0;
        return latencies[std::min(latencies.size() - 1,
                                  size_t(q * double(latencies.size() - 1) + 0.5))];
    };
    std::printf("trickle:          %ld connections from 127.0.0.3, one byte every 2 s, %ld s\n",
                opt.trickle, opt.seconds);
    std::printf("agent drops:      %ld dropped by the agent (and reopened: %ld)\n", dropped,
                reopened);
    std::printf(
        "real requests:    %zu answered, %ld unanswered; answer time p50 %.1f ms, "
        "p90 %.1f ms, max %.1f ms\n",
        latencies.size(), failures, pct(0.5) * 1e3, pct(0.9) * 1e3,
        latencies.empty() ? 0.0 : latencies.back() * 1e3);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (opt.setLines > 0) return RunSetLines(opt);
    return opt.flood > 0 ? RunFlood(opt) : RunTrickle(opt);
}
