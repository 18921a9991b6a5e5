// loadgen: measures an agent running on this host (loopback only).
//
// Load mode:  loadgen -p port -w password [-c concurrency] [-n requests]
//                     [-C command] [-P param]... [--agent-pid PID] [--zabbix]
//   `concurrency` client threads send `requests` requests in total, one per
//   connection, and report throughput, latency percentiles, errors and, with
//   --agent-pid, the agent's CPU time per 1,000 requests (the process and its
//   child processes). Each thread builds a few request packets, each with
//   its own session key, before the clock starts and sends them in turn, so
//   the client's own cryptography does not take the shared cores from the
//   agent; a reply is decrypted only when its bytes differ from the last
//   reply to the same packet.
//   Each -P adds a parameter line to the request, in order ("TEST-Process"
//   takes the process name as its second: -P '' -P NAME).
//   --zabbix talks the plain protocol of the Zabbix agent instead ("ZBXD",
//   0x01, an 8-byte little-endian length, then the item key, by default
//   agent.ping), for measuring that agent side by side with ours.
// Idle mode:  loadgen -p port -w password --idle N --idle-seconds S
//                     [--agent-pid PID]
//   holds N silent connections open for S seconds while timing one real
//   request a second, and reports the agent's CPU time over the period.
// Counts and durations are bounded so that a typo cannot flood the machine.
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "protocol/clientpacket.h"
#include "tools/cli_args.h"

namespace {

using bench::NowSeconds;
using bench::RaiseFileLimit;

const char kHost[] = "127.0.0.1";
const int kRequestTimeoutMs = 10000;

struct Options {
    int port = 0;
    std::string password;
    int concurrency = 8;
    long requests = 10000;
    std::string command = "GetInfo";
    long agentPid = 0;
    long idle = 0;  // > 0: idle mode
    long idleSeconds = 20;
    bool zabbix = false;  // the Zabbix agent's protocol
    bool commandGiven = false;
    std::vector<std::string> params;  // -P, in order
};

const char kUsage[] =
    "Usage: loadgen -p port -w password [-c concurrency] [-n requests] [-C command]\n"
    "               [-P param]... [--agent-pid PID] [--zabbix] [--idle N [--idle-seconds S]]\n"
    "  -c 1..1024 (default 8)   -n 1..10000000 (default 10000)   -C default GetInfo\n"
    "  --idle 1..20000 (default 100 when --idle-seconds is given)\n"
    "  --idle-seconds 1..3600 (default 20)\n";

// Returns true when the command line is complete and sound.
bool ParseArgs(int argc, char** argv, Options& opt) {
    bool idleSecondsGiven = false;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--zabbix") {
            opt.zabbix = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        long n = 0;
        bool ok = true;
        if (a == "-p") {
            ok = ParseDecimal(v, 1, 65535, n);
            opt.port = int(n);
        } else if (a == "-w") {
            opt.password = v;
        } else if (a == "-c") {
            ok = ParseDecimal(v, 1, 1024, n);
            opt.concurrency = int(n);
        } else if (a == "-n") {
            ok = ParseDecimal(v, 1, 10000000, opt.requests);
        } else if (a == "-C") {
            opt.command = v;
            opt.commandGiven = true;
            ok = !opt.command.empty() && opt.command.find_first_of("\r\n") == std::string::npos;
        } else if (a == "-P") {
            opt.params.push_back(v);
            ok = opt.params.back().find_first_of("\r\n") == std::string::npos;
        } else if (a == "--agent-pid") {
            ok = ParseDecimal(v, 1, 0x7FFFFFFF, opt.agentPid);
        } else if (a == "--idle") {
            ok = ParseDecimal(v, 1, 20000, opt.idle);
        } else if (a == "--idle-seconds") {
            ok = ParseDecimal(v, 1, 3600, opt.idleSeconds);
            idleSecondsGiven = true;
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    if (idleSecondsGiven && opt.idle == 0) opt.idle = 100;
    if (opt.zabbix && !opt.commandGiven) opt.command = "agent.ping";
    if (opt.zabbix && opt.idle > 0) return false;
    return opt.port != 0;
}

// The user+system CPU time in seconds of one process (all its threads, live
// and ended) from /proc/PID/stat, with its parent pid; -1 when it cannot be
// read.
double ProcessCpuSeconds(long pid, long& ppid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = std::fopen(path, "re");
    if (!f) return -1;
    char buf[4096];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The command name may hold blanks and parentheses; fields resume after
    // the last ')'. ppid is field 4, utime and stime are fields 14 and 15.
    const char* p = std::strrchr(buf, ')');
    if (!p) return -1;
    char state = 0;
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(p + 1, " %c %ld %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &state, &ppid,
                    &utime, &stime) != 4)
        return -1;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The agent's CPU time in seconds: the process pid and its child processes
// (an agent of pre-forked workers spends most of its time in them); -1 when
// the process cannot be read.
double AgentCpuSeconds(long pid) {
    if (pid <= 0) return -1;
    long ppid = 0;
    double total = ProcessCpuSeconds(pid, ppid);
    if (total < 0) return -1;
    DIR* d = opendir("/proc");
    if (!d) return total;
    while (const struct dirent* e = readdir(d)) {
        char* end = nullptr;
        const long child = std::strtol(e->d_name, &end, 10);
        if (child <= 0 || *end != '\0' || child == pid) continue;
        const double t = ProcessCpuSeconds(child, ppid);
        if (t >= 0 && ppid == pid) total += t;
    }
    closedir(d);
    return total;
}

// Outcome of one request.
struct Sample {
    double seconds = 0;
    int kind = 0;  // 0: result 200, 1: another result, 2: no usable reply
    String error;
};

// Adds the -P parameters to params as the request's parameter lines.
void AddRequestParams(const Options& opt, TStrList& params) {
    for (const std::string& p : opt.params) params.Add(String(p.data(), int(p.size())));
}

// One timed request with a fresh session key; only the exchange is timed,
// not building the packet. Any thread.
Sample OneRequest(const Options& opt) {
    Sample s;
    String key, body, reply, code;
    if (!NewSessionKey(key, s.error)) {
        s.kind = 2;
        return s;
    }
    TStrList params;
    AddRequestParams(opt, params);
    const String packet =
        BuildRequestPacket(String(opt.password.data(), int(opt.password.size())), key,
                           BuildRequestBody(String(opt.command.c_str()), params));
    const double t0 = NowSeconds();
    const int rc = ExchangePacket(kHost, opt.port, packet, kRequestTimeoutMs, reply, s.error);
    s.seconds = NowSeconds() - t0;
    TStrList values;
    if (rc != 1 || !ParseReplyPacket(reply, key, body) || !SplitReplyBody(body, code, values)) {
        if (rc == 1) s.error = "malformed reply";
        s.kind = 2;
        return s;
    }
    s.kind = code == "200" ? 0 : 1;
    return s;
}

// The q-quantile (0..1) of sorted values by nearest rank; 0 when empty.
double Percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    const size_t i = size_t(q * double(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

// A request packet built before the run, and the last reply to it with its
// verdict, so that an unchanged reply is not decrypted again.
struct Prepared {
    String packet;
    String key;  // our protocol: the session key the reply is encrypted under
    String lastReply;
    int lastKind = 2;
};

const int kPreparedPerThread = 8;
const int kZabbixHeader = 13;  // "ZBXD", flags, 8-byte length
const double kSlowSeconds = 0.050;

// A packet of the Zabbix agent's protocol carrying text.
String ZabbixPacket(const std::string& text) {
    char header[kZabbixHeader] = {'Z', 'B', 'X', 'D', 1};
    unsigned long long n = text.size();
    for (int i = 0; i < 8; i++) header[5 + i] = char((n >> (8 * i)) & 0xFF);
    String packet(header, kZabbixHeader);
    packet += String(text.data(), int(text.size()));
    return packet;
}

// Builds a request packet for opt; false with error set on failure.
bool Prepare(const Options& opt, Prepared& p, String& error) {
    if (opt.zabbix) {
        p.packet = ZabbixPacket(opt.command);
        return true;
    }
    if (!NewSessionKey(p.key, error)) return false;
    TStrList params;
    AddRequestParams(opt, params);
    p.packet = BuildRequestPacket(String(opt.password.data(), int(opt.password.size())), p.key,
                                  BuildRequestBody(String(opt.command.c_str()), params));
    return true;
}

// Bytes the reply in got still lacks, from its length field; 0 when whole.
long long ReplyMissing(const String& got, bool zabbix) {
    const int header = zabbix ? kZabbixHeader : 4;
    if (got.Length() < header) return header - got.Length();
    unsigned long long length = 0;
    const int at = zabbix ? 5 : 0;
    const int width = zabbix ? 8 : 4;
    for (int i = width - 1; i >= 0; i--) length = (length << 8) | (unsigned char)got.Data()[at + i];
    if (length > MAX_REPLY_PACKET) return -1;
    return (long long)(header + length) - got.Length();
}

// Connects to the agent, sends packet, reads one whole reply and closes;
// returns false with error set when no whole reply came.
bool Exchange(const Options& opt, const String& packet, String& reply, String& error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "socket failed";
        return false;
    }
    struct timeval tv = {kRequestTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(opt.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0;
    if (!ok) error = "connect failed";
    if (ok) ok = send(fd, packet.Data(), size_t(packet.Length()), MSG_NOSIGNAL) == packet.Length();
    if (!ok && error.Length() == 0) error = "send failed";
    reply = String();
    char buf[65536];
    while (ok) {
        const long long missing = ReplyMissing(reply, opt.zabbix);
        if (missing == 0) break;
        const ssize_t n =
            missing < 0 ? -1 : recv(fd, buf, std::min<size_t>(sizeof buf, size_t(missing)), 0);
        if (n > 0) {
            reply.AddData(buf, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        error = n == 0        ? "no whole reply (connection closed)"
                : missing < 0 ? "reply too large"
                              : "receive failed or timed out";
        ok = false;
    }
    close(fd);
    return ok;
}

// The verdict on a whole reply: 0 for success ("200", or a Zabbix value),
// 1 for another result, 2 for a reply that cannot be read.
int Judge(const Options& opt, const Prepared& p, const String& reply) {
    if (opt.zabbix) {
        const String value = reply.Copy(kZabbixHeader + 1, reply.Length());
        if (value.Length() == 0) return 2;
        return value.Pos(String("ZBX_NOTSUPPORTED")) == 1 ? 1 : 0;
    }
    String body, code;
    TStrList values;
    if (!ParseReplyPacket(reply, p.key, body) || !SplitReplyBody(body, code, values)) return 2;
    return code == "200" ? 0 : 1;
}

// One timed request with a prepared packet; only the exchange is timed.
Sample PreparedRequest(const Options& opt, Prepared& p) {
    Sample s;
    String reply;
    const double t0 = NowSeconds();
    const bool ok = Exchange(opt, p.packet, reply, s.error);
    s.seconds = NowSeconds() - t0;
    if (!ok) {
        s.kind = 2;
        return s;
    }
    if (!(reply == p.lastReply)) {
        p.lastKind = Judge(opt, p, reply);
        p.lastReply = reply;
    }
    s.kind = p.lastKind;
    if (s.kind == 2) s.error = "malformed reply";
    return s;
}

// Load mode: opt.concurrency threads share opt.requests requests through an
// atomic counter; results are merged under one mutex when a thread ends.
// Returns 0 when every request got a reply, 1 otherwise.
int RunLoad(const Options& opt) {
    std::atomic<long> next{0};
    std::mutex resultsMutex;  // guards latencies, counts and firstError
    std::vector<double> latencies;
    long non200 = 0, failed = 0;
    std::string firstError;

    std::vector<std::vector<Prepared>> prepared(size_t(opt.concurrency));
    for (std::vector<Prepared>& mine : prepared) {
        mine.resize(kPreparedPerThread);
        for (Prepared& p : mine) {
            String error;
            if (!Prepare(opt, p, error)) {
                error.SetZero();
                std::fprintf(stderr, "loadgen: cannot build a request: %s\n", error.Data());
                return 1;
            }
        }
    }

    auto worker = [&](std::vector<Prepared>* packets) {
        std::vector<double> mine;
        long myNon200 = 0, myFailed = 0;
        std::string myError;
        size_t turn = 0;
        while (next.fetch_add(1) < opt.requests) {
            Sample s = PreparedRequest(opt, (*packets)[turn++ % packets->size()]);
            mine.push_back(s.seconds);
            if (s.kind == 1) myNon200++;
            if (s.kind == 2) {
                myFailed++;
                s.error.SetZero();
                if (myError.empty()) myError = s.error.Data();
            }
        }
        std::lock_guard<std::mutex> lock(resultsMutex);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
        non200 += myNon200;
        failed += myFailed;
        if (firstError.empty()) firstError = myError;
    };

    const double cpu0 = AgentCpuSeconds(opt.agentPid);
    const double t0 = NowSeconds();
    std::vector<std::thread> threads;
    for (int i = 0; i < opt.concurrency; i++) threads.emplace_back(worker, &prepared[size_t(i)]);
    for (std::thread& t : threads) t.join();
    const double wall = NowSeconds() - t0;
    const double cpu1 = AgentCpuSeconds(opt.agentPid);

    std::sort(latencies.begin(), latencies.end());
    const long slow =
        long(latencies.end() - std::upper_bound(latencies.begin(), latencies.end(), kSlowSeconds));
    std::printf("command:        %s%s\n", opt.command.c_str(), opt.zabbix ? " (zabbix)" : "");
    std::printf("requests:       %ld in %.3f s with %d connections at a time\n", opt.requests, wall,
                opt.concurrency);
    std::printf("throughput:     %.1f requests/s\n", double(opt.requests) / wall);
    std::printf("latency:        p50 %.3f ms, p99 %.3f ms, max %.3f ms, %ld over %.0f ms\n",
                Percentile(latencies, 0.50) * 1e3, Percentile(latencies, 0.99) * 1e3,
                latencies.empty() ? 0.0 : latencies.back() * 1e3, slow, kSlowSeconds * 1e3);
    std::printf("errors:         %ld without reply, %ld with a result other than 200%s%s\n", failed,
                non200, firstError.empty() ? "" : "; first: ", firstError.c_str());
    if (cpu0 >= 0 && cpu1 >= 0)
        std::printf("agent CPU:      %.3f s total, %.3f ms per 1,000 requests\n", cpu1 - cpu0,
                    (cpu1 - cpu0) * 1e3 * 1000.0 / double(opt.requests));
    else if (opt.agentPid > 0)
        std::printf("agent CPU:      /proc/%ld/stat not readable\n", opt.agentPid);
    return failed == 0 ? 0 : 1;
}

// A connected, silent loopback socket; -1 on failure.
int OpenIdle(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reopens the idle connections the agent has closed (its idle limit drops
// silent peers); returns how many were reopened.
long RefreshIdle(std::vector<int>& fds, int port) {
    std::vector<struct pollfd> p(fds.size());
    for (size_t i = 0; i < fds.size(); i++) p[i] = {fds[i], POLLIN, 0};
    if (poll(p.data(), nfds_t(p.size()), 0) <= 0) return 0;
    long reopened = 0;
    for (size_t i = 0; i < fds.size(); i++) {
        if (!p[i].revents) continue;
        char c;
        if (p[i].revents & POLLIN && recv(fds[i], &c, 1, MSG_DONTWAIT) > 0) continue;
        close(fds[i]);
        fds[i] = OpenIdle(port);
        if (fds[i] >= 0) reopened++;
    }
    fds.erase(std::remove(fds.begin(), fds.end(), -1), fds.end());
    return reopened;
}

// Idle mode: opt.idle silent connections held for opt.idleSeconds, one timed
// request a second, the agent's CPU time over the period. Connections the
// agent drops at its idle limit are reopened (and counted), so the load stays
// constant. Returns 0 when every timed request got a reply, 1 otherwise.
int RunIdle(const Options& opt) {
    RaiseFileLimit(opt.idle + 64);
    std::vector<int> fds;
    for (long i = 0; i < opt.idle; i++) {
        const int fd = OpenIdle(opt.port);
        if (fd < 0) break;
        fds.push_back(fd);
    }
    std::printf("idle connections: %zu of %ld opened\n", fds.size(), opt.idle);
    std::fflush(stdout);

    const double cpu0 = AgentCpuSeconds(opt.agentPid);
    const double t0 = NowSeconds();
    double maxLatency = 0, sumLatency = 0;
    long probes = 0, probeFailures = 0, reopened = 0;
    for (long second = 0; second < opt.idleSeconds; second++) {
        const Sample s = OneRequest(opt);
        probes++;
        if (s.kind == 2) probeFailures++;
        maxLatency = std::max(maxLatency, s.seconds);
        sumLatency += s.seconds;
        reopened += RefreshIdle(fds, opt.port);
        const double due = t0 + double(second + 1);
        const double wait = due - NowSeconds();
        if (wait > 0) usleep(useconds_t(wait * 1e6));
    }
    const double wall = NowSeconds() - t0;
    const double cpu1 = AgentCpuSeconds(opt.agentPid);
    for (int fd : fds) close(fd);

    std::printf("period:           %.3f s, %zu connections held at the end, %ld reopened\n", wall,
                fds.size(), reopened);
    std::printf("probe latency:    max %.3f ms, avg %.3f ms over %ld requests, %ld failed\n",
                maxLatency * 1e3, sumLatency * 1e3 / double(probes), probes, probeFailures);
    if (cpu0 >= 0 && cpu1 >= 0)
        std::printf("agent CPU:        %.3f s (%.1f%% of a core)\n", cpu1 - cpu0,
                    (cpu1 - cpu0) * 100.0 / wall);
    else if (opt.agentPid > 0)
        std::printf("agent CPU:        /proc/%ld/stat not readable\n", opt.agentPid);
    return probeFailures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseArgs(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return opt.idle > 0 ? RunIdle(opt) : RunLoad(opt);
}
