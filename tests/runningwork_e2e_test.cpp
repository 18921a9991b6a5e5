// A stop or a restart leaves nothing behind: the programs that running
// requests started end with their whole process groups, and the temporary
// files of those requests (the server's scripts and their output files) go;
// a start removes what an agent left in its temporary folder before, and
// only that.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "runstate_util.h"

namespace {

using runstate::Alive;
using runstate::Entries;
using runstate::TempDir;
using runstate::WaitForCount;
using runstate::WaitGone;

const int kWaitMs = 20000;  // generous: the machine is shared and busy
const int kRequests = 8;

// A name of the agent's own temporary form for pid.
std::string OwnForm(long pid) {
    return "tmptev-" + std::to_string(pid) + "-0123456789abcdef.tmp";
}

// A pid that no process has now: a child of ours that has ended.
long EndedPid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return long(pid);
}

struct Stop {
    const char* name;
    int signal;  // 0: the request below instead
    const char* request;
    const char* message;
    int exitCode;  // -1: the agent goes on (a restart)
};

class RunningWorkE2E : public ::testing::TestWithParam<Stop> {};

TEST_P(RunningWorkE2E, StopEndsChildrenAndRemovesTheirFiles) {
    const Stop& stop = GetParam();
    TempDir tmp, own;
    ASSERT_FALSE(tmp.path.empty());
    ASSERT_FALSE(own.path.empty());
    // Planted before the start: a file an ended agent left (goes); a file of
    // a living process (this test: another agent's, stays); a link and a
    // folder in the agent's form, and names of other forms (stay).
    const std::string target = own.path + "/target";
    WriteFile(target, "keep");
    const std::string stale = OwnForm(EndedPid());
    WriteFile(tmp.path + "/" + stale, "old output");
    const std::vector<std::string> kept = {OwnForm(long(getpid())), "tmp-1234-0",
                                           "tmptev-0123456789abcdef.tmp",
                                           "tmptev-1-0123456789abcdef.tmp.x"};
    for (const std::string& name : kept) WriteFile(tmp.path + "/" + name, "foreign");
    const std::string link = OwnForm(EndedPid());
    ASSERT_EQ(symlink(target.c_str(), (tmp.path + "/" + link).c_str()), 0);
    const std::string folder = OwnForm(EndedPid());
    ASSERT_EQ(mkdir((tmp.path + "/" + folder).c_str(), 0700), 0);

    AgentHarness a;
    ASSERT_TRUE(
        a.Start("allowmanage=1\nmanageaddr=127.0.0.1\nshellscript=1\ntmpdir=" + tmp.path + "\n"))
        << a.Output();
    std::vector<std::string> left = Entries(tmp.path);
    std::vector<std::string> expected = kept;
    expected.push_back(link);
    expected.push_back(folder);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected) << "the stale file goes, nothing else";

    // Eight scripts, each with a sleep in its process group whose pid it
    // writes down.
    const std::string script = "sleep 60 & echo $! > " + own.path + "/sleep.$$; wait";
    std::vector<pid_t> clients;
    for (int i = 0; i < kRequests; i++) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        clients.push_back(agent_harness_detail::Spawn(
            TEVCTL_BINARY,
            {"-p", std::to_string(a.port), "-w", a.password, "-t", "120000", "TEST-ShellScript",
             "sh %script%", script, "", "0", "0"},
            null, null));
        close(null);
    }
    std::vector<int> sleeps;
    const long long deadline = agent_harness_detail::NowMs() + kWaitMs;
    for (;;) {
        sleeps.clear();
        for (const std::string& name : Entries(own.path))
            if (name.rfind("sleep.", 0) == 0) {
                const int pid =
                    atoi(agent_harness_detail::ReadWholeFile(own.path + "/" + name).c_str());
                if (pid > 0) sleeps.push_back(pid);
            }
        if (int(sleeps.size()) == kRequests) break;
        ASSERT_LT(agent_harness_detail::NowMs(), deadline) << a.Output();
        agent_harness_detail::SleepMs(20);
    }
    // Each request's script and output file.
    EXPECT_EQ(Entries(tmp.path).size(), expected.size() + 2 * kRequests);
    for (int pid : sleeps) EXPECT_TRUE(Alive(pid));

    if (stop.signal != 0) {
        a.Kill(stop.signal);
    } else {
        const CtlResult r = RunCtl(a, {stop.request});
        EXPECT_EQ(r.out, "200\nOk\n") << r.err;
    }
    if (stop.exitCode >= 0) {
        EXPECT_EQ(a.Wait(kWaitMs), stop.exitCode) << a.Output();
    } else {
        ASSERT_TRUE(WaitForCount(a, "Listening...", 2, kWaitMs)) << a.Output();
        EXPECT_EQ(a.Wait(0), -1);
    }
    EXPECT_NE(a.Output().find(stop.message), std::string::npos) << a.Output();
    for (int pid : sleeps) EXPECT_TRUE(WaitGone(pid, kWaitMs)) << "sleep " << pid << " runs on";
    EXPECT_EQ(Entries(tmp.path), expected) << "the requests' files are gone, nothing else";
    EXPECT_EQ(agent_harness_detail::ReadWholeFile(target), "keep");
    for (pid_t c : clients) {
        int status = 0;
        if (c > 0) waitpid(c, &status, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stops, RunningWorkE2E,
    ::testing::Values(
        Stop{"ReloadApp", 0, "ReloadApp", "Reload request received. Executing..\n", -1},
        Stop{"QUIT", 0, "QUIT", "Terminate request received. Terminating..\n", 0},
        Stop{"SIGTERM", SIGTERM, "", "Terminate request received. Terminating..\n", 0},
        Stop{"SIGINT", SIGINT, "", "Terminate request received. Terminating..\n", 0}),
    [](const ::testing::TestParamInfo<Stop>& p) { return std::string(p.param.name); });

}  // namespace
