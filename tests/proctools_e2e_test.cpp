// The process count, CPU usage and process list requests end to end, the
// agent configured with the process tools (proccnt, cpuusage, proclist).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "platform/owntool.h"
#include "runstate_util.h"

#ifndef TEV_PROC_TOOLDIR
#error "TEV_PROC_TOOLDIR must name the directory of the process tools"
#endif

namespace {

using agent_harness_detail::ReadWholeFile;

const std::string kTools = TEV_PROC_TOOLDIR "/";

using runstate::Entries;

class ProcToolsE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp = dir.path + "/tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
        ASSERT_TRUE(agent.Start("tmpdir=" + tmp + "\nprocess=1\ncpuusage=1\nproccntscript=" +
                                kTools + "proccnt\ncpuusagescript=" + kTools +
                                "cpuusage\nproclistscript=" + kTools + "proclist\n"))
            << agent.Output();
    }
    void TearDown() override {
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Starts count copies of sleep called name; returns the program's path.
    std::string StartSleeps(const std::string& name, int count) {
        const std::string path = StartSleepers(dir.path, name, count, 120, pids);
        EXPECT_FALSE(path.empty());
        for (pid_t pid : pids) EXPECT_GT(pid, 0);
        return path;
    }
    std::string Ask(const std::vector<std::string>& args) { return RunCtl(agent, args).out; }

    runstate::TempDir dir;
    std::string tmp;
    AgentHarness agent;
    std::vector<pid_t> pids;
};

TEST_F(ProcToolsE2E, CountCpuAndListThroughTheAgent) {
    const std::string tag = agent_harness_detail::RandomHex(3);
    StartSleeps("tev e" + tag + " x", 3);                                 // a blank in the name
    const std::string prog = StartSleeps("tve" + tag + "-long-name", 2);  // cut to 15
    struct Case {
        std::string name, reply;
    } cases[] = {
        {"tev e" + tag + " x", "200\n3\n"},
        {"tve" + tag + "-long-name", "200\n2\n"},
        {"tve" + tag + "-long-nam", "200\n0\n"},
        {"tev e" + tag, "200\n0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Ask({"TEST-Process", "", c.name}), c.reply);
    }

    // The first request measures, the next ones use the kept sample; both
    // answer a percentage, and the sample is the one file left behind.
    for (int i = 0; i < 2; i++) {
        const std::string cpu = Ask({"TEST-CPU"});
        ASSERT_EQ(cpu.rfind("200\n", 0), 0u) << cpu;
        const double usage = atof(cpu.c_str() + 4);
        EXPECT_GE(usage, 0.0);
        EXPECT_LE(usage, 100.0);
    }
    const std::string sample = "tev-cpuusage-" + std::to_string(geteuid()) + ".sample";
    EXPECT_EQ(Entries(tmp), std::vector<std::string>{sample});
    struct stat st;
    ASSERT_EQ(lstat((tmp + "/" + sample).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const std::string reply = Ask({"GetProcessesList"});
    ASSERT_EQ(reply.rfind("200\n", 0), 0u) << reply.substr(0, 200);
    const std::string list = "%0D%0A" + reply.substr(4);
    for (pid_t pid : pids) {
        const std::string line = "%0D%0A" + std::to_string(pid) + " ";
        const size_t at = list.find(line);
        ASSERT_NE(at, std::string::npos) << "pid " << pid;
        EXPECT_EQ(list.find(line, at + 1), std::string::npos) << "pid " << pid << " twice";
    }
    const std::string last = std::to_string(pids.back());
    const size_t at = list.find("%0D%0A" + last + " ");
    const size_t end = list.find("%0D%0A", at + 6);
    const std::string line = list.substr(at + 6, end - at - 6);
    const std::string user = geteuid() == 0 ? "root" : std::to_string(geteuid());
    // A sleeper's lifetime CPU share is near 0, but one clock tick charged
    // to its start on a busy machine shows as 0.9 after a second: the share
    // is checked for its form only.
    std::istringstream fields(line);
    std::string pid, owner, cpu, rss;
    fields >> pid >> owner >> cpu >> rss;
    EXPECT_EQ(pid + " " + owner, last + " " + user) << line;
    EXPECT_TRUE(std::regex_match(cpu, std::regex("[0-9]+\\.[0-9]"))) << line;
    EXPECT_TRUE(std::regex_match(rss, std::regex("[0-9]+"))) << line;
    EXPECT_EQ(line.substr(line.size() - prog.size() - 4), prog + " 120") << line;
    EXPECT_EQ(Entries(tmp).size(), 1u);
}

// The agent makes the count and the CPU usage itself, without starting the
// program, only when the configured program is our tool under the name of
// that answer: a file that holds the tool's mark and may be run. Anything
// else is started and answers for itself, and a file changed under the
// same name is looked at again.
TEST(ProcToolsOwnAnswers, InProcessOnlyForOurToolUnderItsName) {
    runstate::TempDir dir;
    const std::string bin = dir.path + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
    const std::string proccnt = bin + "/proccnt", cpuusage = bin + "/cpuusage";
    AgentHarness agent;
    ASSERT_TRUE(
        agent.Start("allowmanage=1\nmanageaddr=127.0.0.1\nprocess=1\ncpuusage=1\n"
                    "proccntscript=" +
                    proccnt + "\ncpuusagescript=" + cpuusage + "\n"))
        << agent.Output();
    const std::string name = "tevown" + agent_harness_detail::RandomHex(3);
    std::vector<pid_t> pids;
    ASSERT_FALSE(StartSleepers(dir.path, name, 3, 120, pids).empty());
    for (pid_t pid : pids) ASSERT_GT(pid, 0);
    // A script that prints 4242 when it is started: a count no test process
    // reaches and a usage no machine has.
    const std::string script = "#!/bin/sh\necho 4242\n";
    const std::string marked = script + "#" + OwnToolMark() + "\n";
    std::string otherVersion = OwnToolMark();
    otherVersion[14] = char(otherVersion[14] + 1);
    const std::string tool = ReadWholeFile(kTools + "tevproc");
    enum Answer { kOwn, kStarted, kNotRun };
    struct Case {
        const char* what;
        std::string content;
        mode_t mode;
        Answer answer;
    } cases[] = {
        {"marked", marked, 0700, kOwn},
        {"unmarked", script, 0700, kStarted},
        {"other version", script + "#" + otherVersion + "\n", 0700, kStarted},
        {"marked again", marked, 0700, kOwn},
        {"not runnable", marked, 0600, kNotRun},
        {"our tool", tool, 0700, kOwn},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& path : {proccnt, cpuusage}) {
            ASSERT_FALSE(WriteFile(path, c.content).empty());
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        }
        const std::string count = RunCtl(agent, {"TEST-Process", "", name}).out;
        const std::string cpu = RunCtl(agent, {"TEST-CPU"}).out;
        switch (c.answer) {
            case kOwn: {
                EXPECT_EQ(count, "200\n3\n");
                ASSERT_EQ(cpu.rfind("200\n", 0), 0u) << cpu;
                const double usage = atof(cpu.c_str() + 4);
                EXPECT_GE(usage, 0.0);
                EXPECT_LE(usage, 100.0);
                break;
            }
            case kStarted:
                EXPECT_EQ(count, "200\n4242\n");
                EXPECT_EQ(cpu, "200\n4242.0000\n");
                break;
            case kNotRun:
                // Started, and failed: "Cannot execute script" natively;
                // under qemu-user the failed exec is not seen by the
                // parent and the empty output reads as "Script error".
                // Either way not answered in-process.
                EXPECT_EQ(count.rfind("301\n", 0), 0u) << count;
                EXPECT_EQ(cpu.rfind("301\n", 0), 0u) << cpu;
                break;
        }
    }
    // Under another name the marked script is started, as our tool would
    // not give that answer there either.
    const std::string other = bin + "/count";
    ASSERT_FALSE(WriteFile(other, marked).empty());
    ASSERT_EQ(chmod(other.c_str(), 0700), 0);
    WriteFile(agent.cfgPath, ReadWholeFile(agent.cfgPath) + "proccntscript=" + other +
                                 "\ncpuusagescript=" + proccnt + "\n");
    ASSERT_EQ(RunCtl(agent, {"ReloadCfg"}).out, "200\nOk\n");
    ASSERT_FALSE(WriteFile(proccnt, marked).empty());
    ASSERT_EQ(chmod(proccnt.c_str(), 0700), 0);
    EXPECT_EQ(RunCtl(agent, {"TEST-Process", "", name}).out, "200\n4242\n");
    EXPECT_EQ(RunCtl(agent, {"TEST-CPU"}).out, "200\n4242.0000\n");
    for (pid_t pid : pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

}  // namespace
