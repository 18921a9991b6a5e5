// Requests that run programs, end to end through the real agent: process
// count, CPU usage and process list through the settings scripts, external
// programs and shell scripts sent by the server.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::NowMs;
using agent_harness_detail::ReadWholeFile;

const std::string kScripts = TEV_TESTDATA "/../../etc/scripts/";

using runstate::Entries;

std::string Join(const std::vector<std::string>& v) {
    std::string out;
    for (const std::string& s : v) out += s + " ";
    return out;
}

class ScriptTestsE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_scripts_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        tmp = dir + "/tmp";
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    // An executable script in the fixture's directory; returns its path.
    std::string Script(const std::string& name, const std::string& body) {
        const std::string path = dir + "/" + name;
        EXPECT_FALSE(WriteFile(path, "#!/bin/sh\n" + body).empty());
        EXPECT_EQ(chmod(path.c_str(), 0700), 0);
        return path;
    }
    void Start(const std::string& extra) {
        ASSERT_TRUE(agent.Start("tmpdir=" + tmp + "\ndelayforscripts=0\n" + extra))
            << agent.Output();
    }
    // The client waits as long as the harness lets it (a minute), not the
    // client's default 10 s: a shipped shell script listing every process
    // takes that long on a busy machine.
    std::string Ask(const std::vector<std::string>& args) {
        std::vector<std::string> full = {"-t", "120000"};
        full.insert(full.end(), args.begin(), args.end());
        const CtlResult r = RunCtl(agent, full);
        return r.out;
    }
    // The agent's temporary directory holds no file after a request.
    void ExpectNoTempFiles() { EXPECT_EQ(Join(Entries(tmp)), ""); }

    std::string dir, tmp;
    AgentHarness agent;
};

TEST_F(ScriptTestsE2E, RightsOffRefuseEveryCommand) {
    const std::string count = Script("count.sh", "echo 1\n");
    Start("process=0\ncpuusage=0\nexternal=0\nshellscript=0\nproccntscript=" + count +
          "\ncpuusagescript=" + count + "\nproclistscript=" + count + "\n");
    const std::vector<std::vector<std::string>> requests = {
        {"TEST-Process", "", "sh"},
        {"TEST-CPU"},
        {"GetProcessesList"},
        {"TEST-ExternalPrg", "true", "", "", "0"},
        {"TEST-ShellScript", "sh %script%", "echo scriptres:OK", "", "0", "0"},
    };
    for (const auto& r : requests) {
        SCOPED_TRACE(r[0]);
        EXPECT_EQ(Ask(r), "600\ntest is not allowed\n");
    }
}

TEST_F(ScriptTestsE2E, SettingsScriptsAndTheirFailures) {
    const std::string argFile = dir + "/arg.txt";
    const std::string count = Script("count.sh", "printf '%s' \"$1\" > '" + argFile +
                                                     "'\necho \"  42 processes\"\necho err >&2\n");
    const std::string cpu = Script("cpu.sh", "echo 12.5\n");
    const std::string list = Script("list.sh", "printf 'a\\nb b\\n\\n' ; echo c >&3\n");
    Start("process=1\ncpuusage=1\nproccntscript=" + count + "\ncpuusagescript=" + cpu +
          "\nproclistscript=" + list + "\n");

    struct Case {
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {{"TEST-Process", "", "sh"}, "200\n42\n"},
        {{"TEST-Process", "", ""}, "501\nName of the process is not specified\n"},
        {{"TEST-CPU"}, "200\n12.5000\n"},
        {{"GetProcessesList"}, "200\na%0D%0Ab b%0D%0Ac%0D%0A\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[0]);
        EXPECT_EQ(Ask(c.request), c.reply);
        ExpectNoTempFiles();
    }

    // The name reaches the script as one argument, never as shell code.
    const std::string marker = dir + "/pwned";
    const std::string evil = "x; touch " + marker + " $(touch " + marker + ") `id`";
    EXPECT_EQ(Ask({"TEST-Process", "", evil}), "200\n42\n");
    EXPECT_EQ(ReadWholeFile(argFile), evil);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the process name ran as shell code";
    ExpectNoTempFiles();
}

TEST_F(ScriptTestsE2E, SettingsScriptProblems) {
    const std::string silent = Script("silent.sh", "exit 0\n");
    const std::string words = Script("words.sh", "echo about 12\n");
    const std::string notExec = dir + "/notexec.sh";
    ASSERT_FALSE(WriteFile(notExec, "echo 1\n").empty());
    ASSERT_EQ(chmod(notExec.c_str(), 0600), 0);

    struct Case {
        std::string config;
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {"proccntscript=\n", {"TEST-Process", "", ""}, "301\nProcCnt script is not speified\n"},
        {"proccntscript=" + dir + "/none.sh\n",
         {"TEST-Process", "", "sh"},
         "301\nProcCnt script doesn't exist\n"},
        {"cpuusagescript=\n", {"TEST-CPU"}, "301\nCPUUsage script is not speified\n"},
        {"cpuusagescript=" + dir + "\n", {"TEST-CPU"}, "301\nCPUUsage script doesn't exist\n"},
        {"proclistscript=\n", {"GetProcessesList"}, "301\nProcList script is not speified\n"},
        {"proclistscript=" + dir + "/none.sh\n",
         {"GetProcessesList"},
         "301\nProcList script doesn't exist\n"},
        {"proccntscript=" + silent + "\n", {"TEST-Process", "", "sh"}, "301\nScript error\n"},
        {"cpuusagescript=" + words + "\n", {"TEST-CPU"}, "301\nScript error\n"},
        {"cpuusagescript=" + notExec + "\n", {"TEST-CPU"}, "301\nCannot execute script\n"},
        {"proclistscript=" + silent + "\n", {"GetProcessesList"}, "200\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        AgentHarness a;
        ASSERT_TRUE(a.Start("process=1\ncpuusage=1\ntmpdir=" + tmp + "\n" + c.config))
            << a.Output();
        EXPECT_EQ(RunCtl(a, c.request).out, c.reply);
        ExpectNoTempFiles();
    }
}

TEST_F(ScriptTestsE2E, HungSettingsScriptIsKilledWithItsChildren) {
    const std::string pidFile = dir + "/child.pid";
    const std::string hang =
        Script("hang.sh", "sleep 300 &\necho $! > '" + pidFile + "'\nwait\necho 5\n");
    Start("process=1\nproccntscript=" + hang + "\n");
    const long long start = NowMs();
    // The client of the other tests gives up after a minute; this waits longer.
    EXPECT_EQ(wire::Ask(agent.port, agent.password, "TEST-Process\n\nsh\n\r", "127.0.0.1", 120000),
              "301\nScript time limit exceeded\n\r");
    // Not before the limit; how long after it depends on the machine's load.
    EXPECT_GE(NowMs() - start, 59000);
    const int child = atoi(ReadWholeFile(pidFile).c_str());
    ASSERT_GT(child, 0);
    // The killed child goes as soon as the system gets to it: waited for as
    // a condition, with a bound only against a hang.
    bool gone = false;
    for (const long long deadline = NowMs() + 60000; !gone && NowMs() < deadline;) {
        const std::string stat = ReadWholeFile("/proc/" + std::to_string(child) + "/stat");
        gone = stat.empty() || stat.find(") Z ") != std::string::npos;
        if (!gone) agent_harness_detail::SleepMs(20);
    }
    EXPECT_TRUE(gone) << "the script's own child outlived the time limit";
    ExpectNoTempFiles();
}

TEST_F(ScriptTestsE2E, ExternalPrograms) {
    Start("external=1\n");
    const std::string noSuch = std::string("301\nexec error: ") + strerror(ENOENT) + "\n";
    struct Case {
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {{"TEST-ExternalPrg", "true", "", "", "0"}, "200\n0\n"},
        {{"TEST-ExternalPrg", "false", "", "", "0"}, "200\n1\n"},
        {{"TEST-ExternalPrg", "sh -c 'exit 255'", "", "", "5000"}, "200\n255\n"},
        {{"TEST-ExternalPrg", "true"}, "200\n0\n"},
        {{"TEST-ExternalPrg", "sh -c 'exit 4'", "", "", "-1"}, "200\n4\n"},
        {{"TEST-ExternalPrg", "true", "", "", "abc"}, "501\nWrong parameter\n"},
        {{"TEST-ExternalPrg", "", "", "", "0"}, "501\nCommand line to execute is not specified\n"},
        {{"TEST-ExternalPrg", "/no/such/program", "", "", "0"}, noSuch},
        {{"TEST-ExternalPrg", "sleep 30", "", "", "300"}, "301\nabnormal termination\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[1] + " / " + (c.request.size() > 4 ? c.request[4] : ""));
        EXPECT_EQ(Ask(c.request), c.reply);
    }
}

TEST_F(ScriptTestsE2E, ShellScripts) {
    Start("shellscript=1\n");
    const std::string threeLines = "echo a%0Aecho scriptres:OK%0Aecho b";
    struct Case {
        std::vector<std::string> request;
        std::string reply;
    } cases[] = {
        {{"TEST-ShellScript", "sh %script%", threeLines, "", "0", "0"}, "200\nscriptres:OK\n\n"},
        {{"TEST-ShellScript", "sh %script%", threeLines, "", "0", "5"},
         "200\nscriptres:OK\na%0D%0Ascriptres:OK%0D%0Ab%0D%0A\n"},
        {{"TEST-ShellScript", "sh %script%", threeLines, "", "0", "1"},
         "200\nscriptres:OK\na%0D%0A\n"},
        {{"TEST-ShellScript", "sh %script%", "echo a%0D%0Aecho '  b  '%0D%0A%0D%0A", "", "", ""},
         "200\nb\n\n"},
        {{"TEST-ShellScript", "sh %SCRIPT% %Params%", "echo \"ScriptRes: $2-$1\" >&2", "x y", "0",
          "0"},
         "200\nScriptRes: y-x\n\n"},
        {{"TEST-ShellScript", "%script%", "echo scriptres:plain", "", "0", "0"},
         "200\nscriptres:plain\n\n"},
        {{"TEST-ShellScript", "%script%", "#!/bin/sh%0Aecho scriptres:$0", "", "0", "0"}, "<path>"},
        {{"TEST-ShellScript", "sh %script%", "sleep 30", "", "1", "0"},
         "301\nScript execution error: abnormal termination\n"},
        {{"TEST-ShellScript", "/no/such/shell %script%", "echo x", "", "0", "0"},
         std::string("301\nScript execution error: exec error: ") + strerror(ENOENT) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[1] + " / " + c.request[2]);
        const std::string reply = Ask(c.request);
        if (c.reply == "<path>") {
            // The script runs from a file of the agent's temporary directory.
            EXPECT_EQ(reply.rfind("200\nscriptres:" + tmp + "/", 0), 0u) << reply;
        } else {
            EXPECT_EQ(reply, c.reply);
        }
        ExpectNoTempFiles();
    }
}

TEST_F(ScriptTestsE2E, ShippedScriptsAnswerRealValues) {
    // Three processes with a name of their own.
    const std::string name = "tevsl" + agent_harness_detail::RandomHex(4);
    std::vector<pid_t> pids;
    // Sleeping far longer than the test may take on a busy machine.
    const std::string prog = StartSleepers(dir, name, 3, 3600, pids);
    ASSERT_FALSE(prog.empty());
    for (pid_t pid : pids) ASSERT_GT(pid, 0);
    Start("process=1\ncpuusage=1\nproccntscript=" + kScripts + "proccnt.sh\ncpuusagescript=" +
          kScripts + "cpuusage.sh\nproclistscript=" + kScripts + "proclist.sh\n");
    EXPECT_EQ(Ask({"TEST-Process", "", name}), "200\n3\n");
    const std::string cpu = Ask({"TEST-CPU"});
    ASSERT_EQ(cpu.rfind("200\n", 0), 0u) << cpu;
    const double usage = atof(cpu.c_str() + 4);
    EXPECT_GE(usage, 0.0);
    EXPECT_LE(usage, 100.0);
    const std::string reply = Ask({"GetProcessesList"});
    ASSERT_EQ(reply.rfind("200\n", 0), 0u) << reply.substr(0, 300);
    const std::string list = "%0D%0A" + reply.substr(4);
    for (pid_t pid : pids) {
        EXPECT_NE(list.find("%0D%0A" + std::to_string(pid) + " "), std::string::npos)
            << "pid " << pid;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_NE(list.find(prog + " 3600%0D%0A"), std::string::npos);
    ExpectNoTempFiles();
}

}  // namespace
