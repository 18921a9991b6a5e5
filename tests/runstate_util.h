// Helpers for end-to-end tests of restarts, upgrades and daemons: a
// temporary work directory, daemons found through their pid files, process
// liveness, and clean-up of agents that outlive the process the test started
// (a daemon's child, the program an update script starts).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent_harness.h"

namespace runstate {

using agent_harness_detail::NowMs;
using agent_harness_detail::ReadWholeFile;
using agent_harness_detail::SleepMs;

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tev_rs_XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    ~TempDir() {
        if (!path.empty())
            nftw(path.c_str(), agent_harness_detail::RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// Number of times text occurs in s.
inline int Count(const std::string& s, const std::string& text) {
    int n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + text.size()))
        n++;
    return n;
}

// Waits up to ms for text to occur at least n times in the file at path.
inline bool WaitForFileText(const std::string& path, const std::string& text, int n, int ms) {
    const long long deadline = NowMs() + ms;
    while (Count(ReadWholeFile(path), text) < n) {
        if (NowMs() >= deadline) return false;
        SleepMs(20);
    }
    return true;
}

// Waits up to ms for text to occur at least n times in the agent's output.
inline bool WaitForCount(const AgentHarness& a, const std::string& text, int n, int ms) {
    const long long deadline = NowMs() + ms;
    while (Count(a.Output(), text) < n) {
        if (NowMs() >= deadline) return false;
        SleepMs(20);
    }
    return true;
}

// True while pid names a process that has not ended (a zombie has ended).
inline bool Alive(int pid) {
    if (pid <= 0) return false;
    const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// Waits up to ms for pid to end.
inline bool WaitGone(int pid, int ms) {
    const long long deadline = NowMs() + ms;
    while (Alive(pid)) {
        if (NowMs() >= deadline) return false;
        SleepMs(20);
    }
    return true;
}

// The pid written in the pid file, 0 when there is none (yet).
inline int PidIn(const std::string& path) {
    const std::string text = ReadWholeFile(path);
    if (text.empty() || text.back() != '\n') return 0;
    return std::atoi(text.c_str());
}

// Waits up to ms for the pid file to name a living process other than
// notPid; returns that pid or 0.
inline int WaitForPid(const std::string& path, int notPid, int ms) {
    const long long deadline = NowMs() + ms;
    for (;;) {
        const int pid = PidIn(path);
        if (pid > 0 && pid != notPid && Alive(pid)) return pid;
        if (NowMs() >= deadline) return 0;
        SleepMs(20);
    }
}

// The processes (other than this one) whose command line has an argument
// equal to arg (a configuration path unique to one test): daemons and the
// programs update scripts started, which the harness does not know.
inline std::vector<int> PidsByArgument(const std::string& arg) {
    std::vector<int> pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (struct dirent* e = readdir(proc)) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        const std::string cmd = ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
        for (size_t at = 0; at < cmd.size();) {
            const size_t end = cmd.find('\0', at);
            const std::string item = cmd.substr(at, end == std::string::npos ? end : end - at);
            if (item == arg) {
                pids.push_back(pid);
                break;
            }
            if (end == std::string::npos) break;
            at = end + 1;
        }
    }
    closedir(proc);
    return pids;
}

// Kills every process of PidsByArgument(arg).
inline void KillByArgument(const std::string& arg) {
    for (int pid : PidsByArgument(arg)) kill(pid, SIGKILL);
}

// Copies the file at from to to with mode 0755; false on failure.
inline bool CopyProgram(const std::string& from, const std::string& to) {
    const std::string bytes = ReadWholeFile(from);
    return !bytes.empty() && !WriteFile(to, bytes).empty() && chmod(to.c_str(), 0755) == 0;
}

// Names in directory dir (without "." and ".."), sorted.
inline std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// A daemon started from a configuration of our own: the launching process
// ends after the fork, so the daemon is known by its pid file and killed by
// its configuration path at the end.
struct Daemon {
    ~Daemon() {
        if (!cfg.empty()) KillByArgument(cfg);
    }
    // Writes cfg in dir with a free loopback port, password "pw", the pid
    // file and the extra lines, starts "tev -d cfg" and waits for the pid
    // file. Returns false when the daemon did not come up.
    bool Start(const std::string& dir, const std::string& extra) {
        cfg = dir + "/daemon.cfg";
        pidPath = dir + "/tev.pid";
        port = FreeLoopbackPort();
        const std::string text = std::string("tevpath=") + TEV_BINARY +
                                 "\nport=" + std::to_string(port) +
                                 "\npassword=pw\nallowmanage=1\nmanageaddr=127.0.0.1\n"
                                 "pidfile=" +
                                 pidPath + "\n" + extra;
        if (WriteFile(cfg, text).empty()) return false;
        if (!launcher.Launch({"-d", cfg}) || launcher.Wait(20000) != 0) return false;
        pid = WaitForPid(pidPath, 0, 10000);
        return pid > 0;
    }
    // Runs the client against the daemon.
    CtlResult Ctl(const std::vector<std::string>& args) const {
        std::vector<std::string> full = {"-p", std::to_string(port), "-w", "pw"};
        full.insert(full.end(), args.begin(), args.end());
        return RunCtlRaw(full);
    }
    AgentHarness launcher;  // the process that forks the daemon
    std::string cfg, pidPath;
    int port = 0;
    int pid = 0;
};

// The agent's program as an upgrade can carry it (at most 10485759 bytes):
// a sanitizer build with its debug information is larger, so it is sent
// without that (objcopy --strip-debug), which runs the same.
inline std::string AgentProgram() {
    static const std::string program = [] {
        std::string whole = ReadWholeFile(TEV_BINARY);
        if (whole.size() + 64 <= 10485759) return whole;
        char tmpl[] = "/tmp/tev_stripped_XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0) return whole;
        close(fd);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = agent_harness_detail::Spawn(
            "/usr/bin/objcopy", {"--strip-debug", TEV_BINARY, tmpl}, null, null);
        if (null >= 0) close(null);
        int status = 0;
        const bool ok = pid > 0 && waitpid(pid, &status, 0) == pid &&
                        agent_harness_detail::DecodeStatus(status) == 0;
        std::string stripped = ok ? ReadWholeFile(tmpl) : std::string();
        unlink(tmpl);
        return stripped.empty() ? whole : stripped;
    }();
    return program;
}

}  // namespace runstate
