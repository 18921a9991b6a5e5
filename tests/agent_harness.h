// End-to-end test helpers: run the agent binary in a temporary directory on a
// free loopback port, run the command-line client against it, and talk raw
// bytes to it. The test binary defines TEV_BINARY and TEVCTL_BINARY as
// absolute paths. Processes are started with posix_spawn (no shell); every
// descriptor opened here is close-on-exec. Not thread-safe: one harness per
// test thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"

#ifndef TEV_BINARY
#error "TEV_BINARY must name the agent binary"
#endif
#ifndef TEVCTL_BINARY
#error "TEVCTL_BINARY must name the client binary"
#endif

extern char** environ;

namespace agent_harness_detail {

// The agent's own clock, so that the tests measure as the agent does.
using ::NowMs;

inline void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// The whole content of path; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);
    return out;
}

// n random bytes as 2n lowercase hex characters.
inline std::string RandomHex(int n) {
    std::vector<unsigned char> raw(size_t(n), 0);
    size_t got = 0;
    while (got < raw.size()) {
        const ssize_t r = getrandom(raw.data() + got, raw.size() - got, 0);
        if (r > 0)
            got += size_t(r);
        else if (errno != EINTR)
            break;
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : raw) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

// Exit code of a wait status: the code, or 128 + signal number.
inline int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// The words (split at blanks) of the environment variable TEV_TEST_WRAPPER:
// a command put in front of the agent and the client when the tests start
// them, such as an emulator that runs them on an older processor model
// (tools/test.sh arch x86-64-v1). Empty when the variable is unset.
inline std::vector<std::string> TestWrapper() {
    std::vector<std::string> words;
    const char* env = std::getenv("TEV_TEST_WRAPPER");
    std::string word;
    for (const char* c = env ? env : ""; *c; c++) {
        if (*c != ' ') {
            word += *c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

// Starts prog with args (argv[0] = prog), standard input from /dev/null,
// standard output on outFd and standard error on errFd; the agent and the
// client go through TestWrapper() when one is set (found on PATH). Returns
// the child's pid or -1. All allocation happens before the spawn.
inline pid_t Spawn(const std::string& prog, const std::vector<std::string>& args, int outFd,
                   int errFd) {
    std::vector<std::string> wrapper;
    if (prog == TEV_BINARY || prog == TEVCTL_BINARY) wrapper = TestWrapper();
    std::vector<char*> argv;
    for (const std::string& w : wrapper) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(prog.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0) return -1;
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    posix_spawn_file_actions_adddup2(&fa, errFd, 2);
    pid_t pid = -1;
    const int rc = wrapper.empty()
                       ? posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), environ)
                       : posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

inline int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace agent_harness_detail

// Binds port 0 on 127.0.0.1 and returns the port the system chose (0 on
// failure). The port is free again when this returns; another process could
// take it before the caller binds it, which Start() allows for.
// Binds a loopback TCP socket to port (0: any) the way the agent's listener
// does (SO_REUSEADDR) and returns the port bound, or 0.
inline int BindLoopbackPort(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    int bound = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) == 0)
        bound = ntohs(a.sin_port);
    close(fd);
    return bound;
}

// A loopback port nobody listens on now, taken below the kernel's range of
// ephemeral ports: a port from that range may become the local end of some
// outgoing connection (the load tests make thousands) before the agent
// binds it, and the agent's bind then fails.
inline int FreeLoopbackPort() {
    int low = 32768;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
        int lo = 0, hi = 0;
        if (std::fscanf(f, "%d %d", &lo, &hi) == 2 && lo > 12000) low = lo;
        std::fclose(f);
    }
    // One sequence per process, so that calls in the same millisecond (or
    // from several threads) differ.
    static std::atomic<unsigned int> sequence{
        static_cast<unsigned int>(getpid()) ^
        static_cast<unsigned int>(agent_harness_detail::NowMs())};
    for (int attempt = 0; attempt < 200; attempt++) {
        unsigned int x = sequence.fetch_add(1) * 2654435761u;
        x ^= x >> 15;
        const int port = 10000 + static_cast<int>(x % static_cast<unsigned int>(low - 10000));
        if (BindLoopbackPort(port) == port) return port;
    }
    return BindLoopbackPort(0);
}

// Writes content to path (created or truncated, mode 0644). Returns path, or
// the empty string when the file could not be written.
inline std::string WriteFile(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::string();
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (errno != EINTR)
            break;
    }
    close(fd);
    return done == content.size() ? path : std::string();
}

// Starts count processes called name: a copy of /bin/sleep at dir/name,
// each run as "name seconds" with its output on /dev/null. Appends their
// pids to pids (-1 for a start that failed) and returns the copy's path, or
// the empty string when it could not be made.
inline std::string StartSleepers(const std::string& dir, const std::string& name, int count,
                                 int seconds, std::vector<pid_t>& pids) {
    const std::string path = dir + "/" + name;
    if (WriteFile(path, agent_harness_detail::ReadWholeFile("/bin/sleep")).empty() ||
        chmod(path.c_str(), 0700) != 0)
        return std::string();
    for (int i = 0; i < count; i++) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        pids.push_back(agent_harness_detail::Spawn(path, {std::to_string(seconds)}, null, null));
        if (null >= 0) close(null);
    }
    return path;
}

class AgentHarness {
  public:
    AgentHarness() = default;
    AgentHarness(const AgentHarness&) = delete;
    AgentHarness& operator=(const AgentHarness&) = delete;

    // Kills the agent if it still runs and removes the temporary directory.
    ~AgentHarness() {
        if (Running()) {
            kill(pid, SIGKILL);
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (!dir.empty())
            nftw(dir.c_str(), agent_harness_detail::RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // Writes "tev.cfg" in a fresh temporary directory (tevpath, a free
    // loopback port, a random password, then the extraConfig lines), starts
    // the agent with args + the configuration path and waits up to 10 s for
    // "Listening..." in its output. A start that fails only because the port
    // was taken in the meantime (exit code 4) is retried on another port.
    // Returns false when the agent exited or never listened.
    bool Start(const std::string& extraConfig = "", std::vector<std::string> args = {"-i"}) {
        if (!MakeDir()) return false;
        cfgPath = dir + "/tev.cfg";
        password = agent_harness_detail::RandomHex(8);
        for (int attempt = 0; attempt < 3; attempt++) {
            port = FreeLoopbackPort();
            if (port == 0) return false;
            std::string cfg = std::string("tevpath=") + TEV_BINARY +
                              "\nport=" + std::to_string(port) + "\npassword=" + password + "\n" +
                              extraConfig;
            if (!cfg.empty() && cfg.back() != '\n') cfg += '\n';
            if (WriteFile(cfgPath, cfg).empty()) return false;
            std::vector<std::string> full = args;
            full.push_back(cfgPath);
            if (!Launch(full)) return false;
            if (WaitForOutput("Listening...", 10000)) return true;
            if (Wait(0) != 4) return false;
        }
        return false;
    }

    // Starts the agent with exactly args, output captured, without waiting.
    // Returns false when the directory or output file cannot be made, the
    // spawn fails, or an agent started earlier is still running.
    bool Launch(std::vector<std::string> args) {
        if (Running() || !MakeDir()) return false;
        const int out = open(OutputPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) return false;
        pid = agent_harness_detail::Spawn(TEV_BINARY, args, out, out);
        close(out);
        reaped = false;
        exitCode = -1;
        return pid > 0;
    }

    // The agent's exit code (128 + signal when a signal ended it); -1 when it
    // still runs after timeoutMs (or was never started).
    int Wait(int timeoutMs) {
        if (pid <= 0) return -1;
        const long long deadline = agent_harness_detail::NowMs() + timeoutMs;
        while (!reaped) {
            int status = 0;
            const pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                reaped = true;
                exitCode = agent_harness_detail::DecodeStatus(status);
                break;
            }
            if (r < 0 && errno != EINTR) return -1;
            if (agent_harness_detail::NowMs() >= deadline) return -1;
            agent_harness_detail::SleepMs(5);
        }
        return exitCode;
    }

    // Sends sig to the agent when it still runs.
    void Kill(int sig = SIGKILL) {
        if (Running()) kill(pid, sig);
    }

    // Waits up to timeoutMs for text to appear in the captured output; gives
    // up early once the agent has exited.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        const long long deadline = agent_harness_detail::NowMs() + timeoutMs;
        for (;;) {
            const bool exited = pid > 0 && Wait(0) != -1;
            if (Output().find(text) != std::string::npos) return true;
            if (exited || agent_harness_detail::NowMs() >= deadline) return false;
            agent_harness_detail::SleepMs(10);
        }
    }

    // All output captured so far (standard output and error, interleaved).
    std::string Output() const { return agent_harness_detail::ReadWholeFile(OutputPath()); }

    std::string dir, cfgPath, password;
    int port = 0;
    pid_t pid = -1;

  private:
    bool Running() const { return pid > 0 && !reaped; }
    std::string OutputPath() const { return dir + "/agent.out"; }
    bool MakeDir() {
        if (!dir.empty()) return true;
        char tmpl[] = "/tmp/tev_e2e_XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        return true;
    }

    bool reaped = false;
    int exitCode = -1;
};

struct CtlResult {
    int exitCode;  // 128 + signal when killed; -1 when it could not be run
    std::string out, err;
};

// Runs program with exactly args; its output is collected through pipes. A
// program still running after 60 s is killed.
inline CtlResult RunProgramRaw(const std::string& program, const std::vector<std::string>& args) {
    CtlResult r{-1, "", ""};
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return r;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return r;
    }
    const pid_t pid = agent_harness_detail::Spawn(program, args, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    const long long deadline = agent_harness_detail::NowMs() + 60000;
    int openPipes = pid > 0 ? 2 : 0;
    while (openPipes > 0) {
        const long long left = deadline - agent_harness_detail::NowMs();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, int(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                openPipes--;
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (pid > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.exitCode = agent_harness_detail::DecodeStatus(status);
    }
    return r;
}

// Runs the client with exactly args.
inline CtlResult RunCtlRaw(const std::vector<std::string>& args) {
    return RunProgramRaw(TEVCTL_BINARY, args);
}

// Runs the client with "-p <port> -w <password>" of the harness, then args.
inline CtlResult RunCtl(const AgentHarness& a, const std::vector<std::string>& args) {
    std::vector<std::string> full = {"-p", std::to_string(a.port), "-w", a.password};
    full.insert(full.end(), args.begin(), args.end());
    return RunCtlRaw(full);
}

// Connects to 127.0.0.1:port, sends bytes, then collects what the peer sends
// until it closes or waitMs pass. *closed (when not null) tells whether the
// peer closed (or reset) the connection; a refused connection counts as
// closed with nothing received. Sending gives up after waitMs + 10 s.
inline std::string SendRaw(int port, const std::string& bytes, int waitMs, bool* closed) {
    using agent_harness_detail::NowMs;
    std::string got;
    bool peerClosed = true;
    const int fd = agent_harness_detail::ConnectLoopback(port);
    if (fd >= 0) {
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        peerClosed = false;
        size_t sent = 0;
        const long long sendDeadline = NowMs() + waitMs + 10000;
        while (sent < bytes.size() && !peerClosed && NowMs() < sendDeadline) {
            const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += size_t(n);
            } else if (errno == EPIPE || errno == ECONNRESET) {
                peerClosed = true;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, 50);
            } else if (errno != EINTR) {
                break;
            }
        }
        const long long deadline = NowMs() + waitMs;
        while (!peerClosed) {
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                got.append(buf, size_t(n));
                continue;
            }
            if (n == 0 || errno == ECONNRESET) {
                peerClosed = true;
                break;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
            const long long left = deadline - NowMs();
            if (left <= 0) break;
            struct pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, int(left));
        }
        close(fd);
    }
    if (closed) *closed = peerClosed;
    return got;
}
