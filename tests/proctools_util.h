// What the process tool tests share: the tools' directory and the processes
// a test starts and owns (sleepers and zombies of chosen names), the only
// processes whose lines those tests compare.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agent_harness.h"

#ifndef TEV_PROC_TOOLDIR
#error "TEV_PROC_TOOLDIR must name the directory of the process tools"
#endif

namespace proctools_test {

const std::string kTools = TEV_PROC_TOOLDIR "/";

// Starts path with argument vector argv (argv[0] may differ from path);
// standard streams on /dev/null. Returns the pid or -1.
inline pid_t SpawnAs(const std::string& path, const std::vector<std::string>& argv) {
    std::vector<char*> v;
    for (const std::string& a : argv) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, v.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// Processes of chosen names in the folder dir, killed and reaped when the
// object goes.
class OwnProcesses {
  public:
    explicit OwnProcesses(std::string folder) : dir(std::move(folder)) {}
    OwnProcesses(const OwnProcesses&) = delete;
    OwnProcesses& operator=(const OwnProcesses&) = delete;
    ~OwnProcesses() {
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // count copies of sleep running "name 120" (argv[0] argv0 when given);
    // returns the program's path, "" when a start failed.
    std::string Sleepers(const std::string& name, int count, const std::string& argv0 = "") {
        const std::string path = Copy("/bin/sleep", name);
        for (int i = 0; i < count && !path.empty(); i++) {
            pids.push_back(SpawnAs(path, {argv0.empty() ? path : argv0, "120"}));
            if (pids.back() <= 0) return "";
        }
        return path;
    }
    // count processes called name that have ended and stay unreaped (zombies)
    // until the object goes; returns once each has ended. False when a start
    // failed.
    bool Zombies(const std::string& name, int count) {
        const std::string path = Copy("/bin/true", name);
        for (int i = 0; i < count; i++) {
            const pid_t pid = path.empty() ? -1 : SpawnAs(path, {path});
            if (pid <= 0) return false;
            pids.push_back(pid);
            // Waits for the end without reaping: a condition, not a time.
            siginfo_t info;
            while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0)
                if (errno != EINTR) return false;
        }
        return true;
    }

    std::string dir;
    std::vector<pid_t> pids;

  private:
    // A copy of program called name in dir; its path, "" on failure.
    std::string Copy(const std::string& program, const std::string& name) {
        const std::string path = dir + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
        if (WriteFile(path, agent_harness_detail::ReadWholeFile(program)).empty() ||
            chmod(path.c_str(), 0700) != 0)
            return "";
        return path;
    }
};

}  // namespace proctools_test
