// Request-to-reply time of the requests that run programs, through a real
// agent on a loopback port: TEST-ExternalPrg running `true`, TEST-Process
// with the shipped count script, TEST-ShellScript with a one-line script,
// and GetInfo as the floor of any request. RunProgram of `true` in-process
// shows what the child start alone costs.
//
// The agent binary is TEV_AGENT or "tev" beside this program; the scripts
// are taken from TEV_SCRIPTS or "../etc/scripts" beside it (the build
// directory inside the source tree). Run bench/scripttests.sh for medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/process.h"
#include "protocol/clientpacket.h"

extern char** environ;

namespace {

std::string ExeDir() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, size_t(n));
    return path.substr(0, path.rfind('/'));
}

std::string FromEnv(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return v != nullptr && *v ? v : fallback;
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

// One agent for the whole run, stopped at exit.
class TAgent {
  public:
    bool Start() {
        char tmpl[] = "/tmp/tev_bench_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return false;
        dir = tmpl;
        const std::string tev = FromEnv("TEV_AGENT", ExeDir() + "/tev");
        const std::string scripts = FromEnv("TEV_SCRIPTS", ExeDir() + "/../etc/scripts");
        port = FreePort();
        password = "bench-password";
        const std::string cfg = dir + "/tev.cfg";
        FILE* f = fopen(cfg.c_str(), "we");
        if (f == nullptr) return false;
        fprintf(f,
                "tevpath=%s\nhost=127.0.0.1\nport=%d\npassword=%s\ntmpdir=%s\n"
                "timeout=4000\nlogfails=0\nprocess=1\ncpuusage=1\nexternal=1\nshellscript=1\n"
                "delayforscripts=0\nproccntscript=%s/proccnt.sh\n",
                tev.c_str(), port, password.c_str(), dir.c_str(), scripts.c_str());
        fclose(f);
        const std::string out = dir + "/agent.out";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const char* argv[] = {tev.c_str(), "-i", cfg.c_str(), nullptr};
        const int rc =
            posix_spawn(&pid, tev.c_str(), &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return false;
        for (int i = 0; i < 500; i++) {
            if (Ask("GetInfo\n\r").Length() > 0) return true;
            usleep(20000);
        }
        return false;
    }
    ~TAgent() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    // The reply body of one request; empty when none came.
    String Ask(const char* body) const {
        const String key("0123456789abcdef0123456789abcdef");
        const String packet = BuildRequestPacket(String(password.c_str()), key, String(body));
        String reply, error, plain;
        if (ExchangePacket("127.0.0.1", port, packet, 10000, reply, error) != 1) return String();
        if (!ParseReplyPacket(reply, key, plain)) return String();
        return plain;
    }

    std::string dir, password;
    int port = 0;
    pid_t pid = -1;
};

TAgent* Agent() {
    static TAgent* agent = [] {
        TAgent* a = new TAgent;
        if (!a->Start()) {
            fprintf(stderr, "scripttests_bench: the agent did not start (see TEV_AGENT)\n");
            exit(1);
        }
        atexit([] { delete Agent(); });
        return a;
    }();
    return agent;
}

// Times one request per iteration; fails the run when a reply does not
// begin with "200".
void Request(benchmark::State& state, const char* body) {
    TAgent* agent = Agent();
    for (auto _ : state) {
        const String reply = agent->Ask(body);
        if (reply.Length() < 3 || memcmp(reply.Data(), "200", 3) != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
}

void BM_GetInfo(benchmark::State& state) {
    Request(state, "GetInfo\n\r");
}
void BM_ExternalPrgTrue(benchmark::State& state) {
    Request(state, "TEST-ExternalPrg\ntrue\n\n\n0\n\r");
}
void BM_ProcessShippedScript(benchmark::State& state) {
    Request(state, "TEST-Process\n\nsh\n\r");
}
void BM_ShellScriptOneLine(benchmark::State& state) {
    Request(state, "TEST-ShellScript\nsh %script%\necho scriptres:OK\n\n0\n0\n\r");
}

void BM_RunProgramTrue(benchmark::State& state) {
    char prog[] = "true";
    char* argv[] = {prog, nullptr};
    TChildFds fds;
    for (auto _ : state) {
        int exitCode = -1;
        String error;
        if (RunProgram(argv, nullptr, fds, 0, exitCode, error) != 1) {
            state.SkipWithError("run failed");
            break;
        }
    }
}

BENCHMARK(BM_RunProgramTrue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetInfo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExternalPrgTrue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessShippedScript)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShellScriptOneLine)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
