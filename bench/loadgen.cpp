// loadgen: measures an agent running on this host (loopback only).
//
// Load mode:  loadgen -p port -w password [-c concurrency] [-n requests]
//                     [-C command] [--agent-pid PID]
//   `concurrency` client threads send `requests` requests in total, one per
//   connection, and report throughput, latency percentiles, errors and, with
//   --agent-pid, the agent's CPU time per 1,000 requests.
// Idle mode:  loadgen -p port -w password --idle N --idle-seconds S
//                     [--agent-pid PID]
//   holds N silent connections open for S seconds while timing one real
//   request a second, and reports the agent's CPU time over the period.
// Counts and durations are bounded so that a typo cannot flood the machine.
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

#include "protocol/clientpacket.h"
#include "tools/cli_args.h"

namespace {

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
};

const char kUsage[] =
    "Usage: loadgen -p port -w password [-c concurrency] [-n requests] [-C command]\n"
    "               [--agent-pid PID] [--idle N [--idle-seconds S]]\n"
    "  -c 1..1024 (default 8)   -n 1..10000000 (default 10000)   -C default GetInfo\n"
    "  --idle 1..20000 (default 100 when --idle-seconds is given)\n"
    "  --idle-seconds 1..3600 (default 20)\n";

// Monotonic clock in seconds.
double NowSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Returns true when the command line is complete and sound.
bool ParseArgs(int argc, char** argv, Options& opt) {
    bool idleSecondsGiven = false;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
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
            ok = !opt.command.empty() && opt.command.find_first_of("\r\n") == std::string::npos;
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
    return opt.port != 0;
}

// The agent's user+system CPU time in seconds from /proc/PID/stat; -1 when
// it cannot be read.
double AgentCpuSeconds(long pid) {
    if (pid <= 0) return -1;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = std::fopen(path, "re");
    if (!f) return -1;
    char buf[4096];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    // The command name may hold blanks and parentheses; fields resume after
    // the last ')'. utime and stime are fields 14 and 15.
    const char* p = std::strrchr(buf, ')');
    if (!p) return -1;
    char state = 0;
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(p + 1, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &state, &utime,
                    &stime) != 3)
        return -1;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Outcome of one request.
struct Sample {
    double seconds = 0;
    int kind = 0;  // 0: result 200, 1: another result, 2: no usable reply
    String error;
};

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

// Load mode: opt.concurrency threads share opt.requests requests through an
// atomic counter; results are merged under one mutex when a thread ends.
// Returns 0 when every request got a reply, 1 otherwise.
int RunLoad(const Options& opt) {
    std::atomic<long> next{0};
    std::mutex resultsMutex;  // guards latencies, counts and firstError
    std::vector<double> latencies;
    long non200 = 0, failed = 0;
    std::string firstError;

    auto worker = [&]() {
        std::vector<double> mine;
        long myNon200 = 0, myFailed = 0;
        std::string myError;
        while (next.fetch_add(1) < opt.requests) {
            Sample s = OneRequest(opt);
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
    for (int i = 0; i < opt.concurrency; i++) threads.emplace_back(worker);
    for (std::thread& t : threads) t.join();
    const double wall = NowSeconds() - t0;
    const double cpu1 = AgentCpuSeconds(opt.agentPid);

    std::sort(latencies.begin(), latencies.end());
    std::printf("command:        %s\n", opt.command.c_str());
    std::printf("requests:       %ld in %.3f s with %d connections at a time\n", opt.requests, wall,
                opt.concurrency);
    std::printf("throughput:     %.1f requests/s\n", double(opt.requests) / wall);
    std::printf("latency:        p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                Percentile(latencies, 0.50) * 1e3, Percentile(latencies, 0.99) * 1e3,
                latencies.empty() ? 0.0 : latencies.back() * 1e3);
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

// Raises the soft descriptor limit towards wanted (never above the hard one).
void RaiseFileLimit(long wanted) {
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return;
    if (r.rlim_cur != RLIM_INFINITY && rlim_t(wanted) > r.rlim_cur) {
        r.rlim_cur =
            r.rlim_max == RLIM_INFINITY ? rlim_t(wanted) : std::min(rlim_t(wanted), r.rlim_max);
        setrlimit(RLIMIT_NOFILE, &r);
    }
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
