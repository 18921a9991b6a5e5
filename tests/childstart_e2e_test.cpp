// The child start's promise, checked on the real agent: between its
// creation and exec a child runs no code of the dynamic loader. The agent
// answers requests that start programs under LD_DEBUG=bindings; the loader
// then writes every symbol binding of the agent, each line prefixed with
// the pid of the process that made it, into one file per process image. A
// line of the agent's file under another pid is a binding done in a child
// before its exec, on the stack it borrowed and in memory it shares with
// the agent.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"

namespace {

using agent_harness_detail::TestWrapper;

class ChildStartE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_childstart_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        nftw(dir.c_str(), agent_harness_detail::RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    std::string dir;
};

// Runs `tev --test cfg request...` with the extra environment entries in
// env; returns its pid and exit status, its standard output in out.
pid_t RunTev(const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::string& outPath, int& status) {
    std::vector<std::string> envText(env);
    for (char** e = environ; *e != nullptr; e++)
        if (strncmp(*e, "LD_", 3) != 0) envText.push_back(*e);
    std::vector<char*> envp, argv;
    for (std::string& e : envText) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string prog = TEV_BINARY;
    std::vector<std::string> argText(args);
    argv.push_back(&prog[0]);
    for (std::string& a : argText) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        execve(prog.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid;
}

TEST_F(ChildStartE2E, NoDynamicBindingInAChildBeforeExec) {
    if (!TestWrapper().empty()) GTEST_SKIP() << "the agent runs under " << TestWrapper()[0];
    const std::string cfg = WriteFile(dir + "/tev.cfg", std::string("tevpath=") + TEV_BINARY +
                                                            "\nport=31999\npassword=pw\n"
                                                            "process=0\ncpuusage=0\nexternal=1\n"
                                                            "executeaction=1\ntmpdir=" +
                                                            dir + "\n");
    struct Case {
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {{"TEST-ExternalPrg", "sh -c 'exit 3'", "", "", "0"}, "200\n3\n"},
        {{"ACT-ExternalCmd", "true", "", "0", "0"}, "200\n0\n"},
        // A failed exec ends the child without a program ever loading.
        {{"ACT-ExternalCmd", "no-such-program-anywhere", "", "0", "0"}, "301\n*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[0] + " " + c.request[1]);
        const std::string debugDir = dir + "/" + std::to_string(&c - cases);
        ASSERT_EQ(mkdir(debugDir.c_str(), 0700), 0);
        std::vector<std::string> args = {"--test", cfg};
        args.insert(args.end(), c.request.begin(), c.request.end());
        int status = -1;
        const pid_t pid = RunTev(args, {"LD_DEBUG=bindings", "LD_DEBUG_OUTPUT=" + debugDir + "/ld"},
                                 dir + "/out", status);
        ASSERT_GT(pid, 0);
        const std::string out = agent_harness_detail::ReadWholeFile(dir + "/out");
        if (c.reply.back() == '*')
            EXPECT_EQ(out.compare(0, c.reply.size() - 1, c.reply, 0, c.reply.size() - 1), 0) << out;
        else
            EXPECT_EQ(out, c.reply);
        std::ifstream agentLog(debugDir + "/ld." + std::to_string(pid));
        if (!agentLog) GTEST_SKIP() << "the dynamic loader wrote nothing: a static agent";
        const std::string own = std::to_string(pid) + ":";
        int lines = 0;
        std::string line, foreign;
        while (std::getline(agentLog, line)) {
            lines++;
            const size_t at = line.find_first_not_of(' ');
            if (at == std::string::npos || line.compare(at, own.size(), own) != 0)
                foreign += line + "\n";
        }
        EXPECT_GT(lines, 0) << "the agent's own bindings are missing: LD_DEBUG not in effect";
        EXPECT_EQ(foreign, "") << "bindings made in a child before its exec";
    }
}

}  // namespace
