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
#include "proctools_util.h"
#include "runstate_util.h"

namespace {

using proctools_test::kTools;

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
    // Starts count copies of sleep called name; returns the program's path.
    std::string StartSleeps(const std::string& name, int count) {
        const std::string path = own.Sleepers(name, count);
        EXPECT_FALSE(path.empty());
        return path;
    }
    std::string Ask(const std::vector<std::string>& args) { return RunCtl(agent, args).out; }

    runstate::TempDir dir;
    std::string tmp;
    AgentHarness agent;
    proctools_test::OwnProcesses own{dir.path};
    const std::vector<pid_t>& pids = own.pids;
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

// "builtin" makes the agent answer itself; any other value names a program,
// which is always started, whatever its name and content: a script called
// proccnt that carries the text by which an older agent took a file for its
// own tool (and answered in-process without starting it) is started and
// answers 42. The output says which path answered each request.
TEST(ProcToolsBuiltin, BuiltinAnswersItselfAndAnyProgramIsStarted) {
    runstate::TempDir dir;
    const std::string bin = dir.path + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
    const std::string script =
        "#!/bin/sh\n# tevproc-tools/1 proccnt cpuusage\necho 42\necho 42 >&3\n";
    for (const char* name : {"proccnt", "cpuusage", "proclist"}) {
        ASSERT_FALSE(WriteFile(bin + "/" + name, script).empty());
        ASSERT_EQ(chmod((bin + "/" + name).c_str(), 0700), 0);
    }
    const std::string name = "tevbi" + agent_harness_detail::RandomHex(3);
    proctools_test::OwnProcesses own(dir.path);
    ASSERT_FALSE(own.Sleepers(name, 3).empty());
    const std::vector<pid_t>& pids = own.pids;
    const std::string rights = "allowmanage=1\nmanageaddr=127.0.0.1\nprocess=1\ncpuusage=1\n";
    // The settings' values: "builtin", or the programs in bin.
    const auto settings = [&bin](bool builtin) {
        std::string cfg;
        for (const char* key : {"proccnt", "cpuusage", "proclist"})
            cfg += std::string(key) + "script=" + (builtin ? "builtin" : bin + "/" + key) + "\n";
        return cfg;
    };
    const auto times = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    };
    struct Case {
        bool builtin;
        std::string count, cpu, list, note;
    } cases[] = {
        {true, "200\n3\n", "", "", "answered in-process (proccntscript=builtin)"},
        {false, "200\n42\n", "200\n42.0000\n", "200\n42%0D%0A42%0D%0A\n",
         "answered by the program " + bin + "/proccnt (proccntscript)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.builtin ? "builtin" : "programs");
        AgentHarness agent;
        ASSERT_TRUE(agent.Start(rights + settings(c.builtin))) << agent.Output();
        EXPECT_EQ(RunCtl(agent, {"TEST-Process", "", name}).out, c.count);
        const std::string cpu = RunCtl(agent, {"TEST-CPU"}).out;
        const std::string list = RunCtl(agent, {"GetProcessesList"}).out;
        if (c.builtin) {
            ASSERT_EQ(cpu.rfind("200\n", 0), 0u) << cpu;
            EXPECT_GE(atof(cpu.c_str() + 4), 0.0);
            EXPECT_LE(atof(cpu.c_str() + 4), 100.0);
            for (pid_t pid : pids)
                EXPECT_NE(list.find("%0D%0A" + std::to_string(pid) + " "), std::string::npos);
        } else {
            EXPECT_EQ(cpu, c.cpu);
            EXPECT_EQ(list, c.list);
        }
        // Each request's note is written before its reply is sent.
        const std::string out = agent.Output();
        EXPECT_NE(out.find("TEST-Process " + c.note), std::string::npos) << out;
        EXPECT_EQ(times(out, "TEST-CPU answered "), 1) << out;
        EXPECT_EQ(times(out, "GetProcessesList answered "), 1) << out;
    }
}

}  // namespace
