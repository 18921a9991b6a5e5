// The agent's start-up as an operator sees it: command line, configuration
// errors, progress lines, exit codes, daemon mode and its pid file.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "wire_util.h"

namespace {

const char kSynopsis[] = " Usage: tev [-d|-i] [-v|-vd] [-p <port>] <cfg_file>\n";

// The lines of text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

// Checks the shape of the usage text rather than a copy of it: the
// synopsis, one "  <option> - <meaning>" line for each of its options and
// the file in its order, then examples that use only those options, each
// part followed by an empty line.
void ExpectUsageShape(const std::string& usage) {
    const std::vector<std::string> lines = Lines(usage);
    ASSERT_GE(lines.size(), 11u) << usage;
    EXPECT_EQ(lines[0] + "\n", kSynopsis);
    const char* const options[] = {"-d", "-i", "-v", "-vd", "-p <port>", "cfg_file"};
    for (size_t i = 0; i < 6; i++) {
        const std::string& l = lines[1 + i];
        SCOPED_TRACE(l);
        EXPECT_EQ(l.substr(0, 2), "  ");
        EXPECT_EQ(l.substr(2, std::string(options[i]).size()), options[i]);
        EXPECT_EQ(l.find(" - "), 11u);  // the meanings in one column
        EXPECT_GT(l.size(), 14u);
    }
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8], " Examples:");
    size_t i = 9;
    for (; i < lines.size() && !lines[i].empty(); i++) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(lines[i].substr(0, 6), "  tev ");
        std::istringstream words(lines[i].substr(6));
        std::string w;
        while (words >> w && w[0] == '-')
            EXPECT_NE(std::string(" -d -i -v -vd -p ").find(" " + w + " "), std::string::npos);
    }
    EXPECT_GT(i, 9u);
    EXPECT_EQ(i + 1, lines.size());  // an empty line ends it
}

std::string Banner() {
    const std::string rule(61, '-');
    return rule + "\n Application:  TEV (Farwatcher for Omnivar)\n" +
           " Version:      1.29 for Linux (Red Hat, Mandrake, SuSE)\n";
}

TEST(StartupE2E, BadCommandLinesPrintUsageAndExit1) {
    // The usage text as the program prints it, checked for its shape once;
    // every bad command line must print the same.
    AgentHarness help;
    ASSERT_TRUE(help.Launch({"--help"}));
    ASSERT_EQ(help.Wait(10000), 0);
    const std::string all = help.Output();
    const std::string usage = all.substr(0, all.find(" Also: "));
    ExpectUsageShape(usage);
    const std::string missing = "Error\nInvalid or missed command line parameter\n\n";
    const std::string badPort = "Error\nInvalid port number\n\n";
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{}, missing},
        {{"-i"}, missing},
        {{"-i", "-v"}, missing},
        {{"-i", "-v", "-vd", "-p"}, missing},
        {{"-p", "0", "x.cfg"}, badPort},
        {{"-p", "65536", "x.cfg"}, badPort},
        {{"-p", "abc", "x.cfg"}, badPort},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        AgentHarness a;
        ASSERT_TRUE(a.Launch(c.args));
        EXPECT_EQ(a.Wait(10000), 1);
        const std::string out = a.Output();
        EXPECT_EQ(out.substr(0, Banner().size()), Banner());
        const std::string tail = "Command line checking .. " + c.error + usage;
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
}

TEST(StartupE2E, OptionsOutOfOrderAreTakenForTheConfigurationPath) {
    AgentHarness a;
    ASSERT_TRUE(a.Launch({"-v", "-i", "/nonexistent/tev.cfg"}));
    EXPECT_EQ(a.Wait(10000), 1);
    EXPECT_NE(a.Output().find("Error\nCannot open configuration file '-i'\nNo such file or "
                              "directory\nPlease check '-i' file\n\n"),
              std::string::npos)
        << a.Output();
}

TEST(StartupE2E, ConfigurationErrorsExit1WithTheirTexts) {
    AgentHarness a;
    ASSERT_TRUE(a.Launch({"-i", "/nonexistent/tev.cfg"}));
    EXPECT_EQ(a.Wait(10000), 1);
    EXPECT_NE(a.Output().find("Settings checking .. Error\nCannot open configuration file "
                              "'/nonexistent/tev.cfg'\nNo such file or directory\n"
                              "Please check '/nonexistent/tev.cfg' file\n\n"),
              std::string::npos);

    AgentHarness b;
    ASSERT_TRUE(b.Launch({"-i", "/dev/null/x"}));  // makes b.dir
    b.Wait(10000);
    const std::string cfg = b.dir + "/empty.cfg";
    WriteFile(cfg, "tevpath=relative/tev\n# nothing else\n");
    AgentHarness c;
    ASSERT_TRUE(c.Launch({"-i", cfg}));
    EXPECT_EQ(c.Wait(10000), 1);
    EXPECT_NE(c.Output().find("Settings checking .. Error\n  TCP post is not specified!\n"
                              "  Password is not specified!\n"
                              "  Full path to the agent is not specified!\n\n"
                              "Please check '" +
                              cfg + "' file\n\n"),
              std::string::npos)
        << c.Output();
}

TEST(StartupE2E, ProgressLinesInOrder) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("", {"-i", "-vd"}));
    const std::string expected = Banner();
    const std::string out = a.Output();
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    const std::string steps =
        "-------------------------------------------------------------\n"
        "Command line checking .. Ok\n"
        "Settings checking .. Ok\n"
        "CPU testing .. Ok\n"
        "stat.size: 8\n"
        "srec.size: 8\n"
        "int64 = long long\n"
        "Basic encyption checking .. Ok\n"
        "TEV encyption checking .. Ok\n"
        "Sock testing .. Ok\n"
        "[tev][";
    EXPECT_NE(out.find(steps), std::string::npos) << out;
    EXPECT_NE(out.find("]\t tev\t\t Listening...\n"), std::string::npos);
}

TEST(StartupE2E, FilterMarksWarningStillStarts) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("filterlist=127.0.0.1\nfiltermarks=11\n"));
    EXPECT_NE(a.Output().find("Settings checking .. Warning: FilterMarks has less items than "
                              "FilterList\nCPU testing .. Ok\n"),
              std::string::npos)
        << a.Output();
}

TEST(StartupE2E, PortInUseExits4AfterRetries) {
    AgentHarness holder;
    ASSERT_TRUE(holder.Start());
    AgentHarness a;
    ASSERT_TRUE(a.Launch({"-i", "-p", std::to_string(holder.port), holder.cfgPath}));
    EXPECT_EQ(a.Wait(15000), 4);
    EXPECT_NE(a.Output().find("Sock testing .. TCP listen error:\nsocket() or bind() error\nport " +
                              std::to_string(holder.port) + ": Address already in use\n\n"),
              std::string::npos)
        << a.Output();
}

TEST(StartupE2E, CommandLinePortWinsOverFileAndReload) {
    AgentHarness a;
    const int port = FreeLoopbackPort();
    ASSERT_TRUE(a.Start("", {"-i", "-p", std::to_string(port)}));
    CtlResult info = RunCtlRaw({"-p", std::to_string(port), "-w", a.password, "GetInfo"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(wire::Value(info.out, "Port"), std::to_string(port));
    CtlResult reload = RunCtlRaw({"-p", std::to_string(port), "-w", a.password, "ReloadCfg"});
    EXPECT_EQ(reload.exitCode, 0) << reload.out;
    info = RunCtlRaw({"-p", std::to_string(port), "-w", a.password, "GetInfo"});
    EXPECT_EQ(wire::Value(info.out, "Port"), std::to_string(port));
    // The file's port was never opened.
    EXPECT_EQ(RunCtl(a, {"GetInfo"}).exitCode, 2);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(StartupE2E, DaemonWritesLockedPidFileAndReloadsOnHangup) {
    AgentHarness setup;
    ASSERT_TRUE(setup.Launch({"-i", "/dev/null/x"}));  // a temporary directory
    setup.Wait(10000);
    const std::string pidPath = setup.dir + "/tev.pid";
    const std::string cfg = setup.dir + "/daemon.cfg";
    const int port = FreeLoopbackPort();
    const std::string base = std::string("tevpath=") + TEV_BINARY +
                             "\nport=" + std::to_string(port) +
                             "\npassword=pw\npidfile=" + pidPath + "\n";
    WriteFile(cfg, base + "comment=first\n");

    AgentHarness daemon;
    ASSERT_TRUE(daemon.Launch({"-d", cfg}));
    EXPECT_EQ(daemon.Wait(15000), 0);  // the parent ends after the fork
    EXPECT_NE(daemon.Output().find("Sock testing .. Ok\nDaemon started\n"), std::string::npos)
        << daemon.Output();
    // The starting process ends only once the daemon has written its pid
    // file, so an init system following the pid file finds it at once.
    ASSERT_FALSE(ReadText(pidPath).empty());
    const int pid = std::stoi(ReadText(pidPath));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0);

    // The daemon holds the lock: a second daemon reports it and goes on.
    AgentHarness second;
    const int port2 = FreeLoopbackPort();
    ASSERT_TRUE(second.Launch({"-d", "-p", std::to_string(port2), cfg}));
    EXPECT_EQ(second.Wait(15000), 0);
    const std::string badLog = setup.dir + "/log2.txt";
    for (int i = 0;
         i < 300 && ReadText(badLog).find("Failed to lock pid file") == std::string::npos; i++)
        agent_harness_detail::SleepMs(10);
    EXPECT_NE(ReadText(badLog).find("Failed to lock pid file " + pidPath + "\n"),
              std::string::npos);
    EXPECT_EQ(std::stoi(ReadText(pidPath)), pid);  // not truncated by the loser
    CtlResult quit2 = RunCtlRaw({"-p", std::to_string(port2), "-w", "pw", "QUIT"});
    EXPECT_EQ(quit2.exitCode, 0) << quit2.err;

    // SIGHUP reloads the file.
    WriteFile(cfg, base + "comment=second\n");
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    std::string comment;
    for (int i = 0; i < 50 && comment != "second"; i++) {
        agent_harness_detail::SleepMs(100);
        comment = wire::Value(RunCtlRaw({"-p", std::to_string(port), "-w", "pw", "GetInfo"}).out,
                              "Comment");
    }
    EXPECT_EQ(comment, "second");

    CtlResult quit = RunCtlRaw({"-p", std::to_string(port), "-w", "pw", "QUIT"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    for (int i = 0; i < 300 && kill(pid, 0) == 0; i++) agent_harness_detail::SleepMs(10);
    EXPECT_NE(kill(pid, 0), 0);
    EXPECT_NE(access(pidPath.c_str(), F_OK), 0);  // removed on the way out
}

}  // namespace

namespace {

TEST(StartupE2E, EarlyCrashEndsTheAgent) {
    AgentHarness a;
    ASSERT_TRUE(a.Start());
    a.Kill(SIGSEGV);
    EXPECT_EQ(a.Wait(5000), 128 + SIGSEGV);
    EXPECT_NE(a.Output().find("Segmentation fault!!\n"), std::string::npos);
}

// Programs the agent starts must not inherit its sockets, pid file or logs.
TEST(StartupE2E, EveryDescriptorIsCloseOnExec) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("logsuccess=1\nverboselogfile=v.txt\n", {"-i", "-v"}));
    wire::Connection held(a.port);  // a session in progress
    ASSERT_TRUE(held.Ok());
    ASSERT_TRUE(held.Send("\x10"));  // reaches accept with its first byte
    ASSERT_EQ(RunCtl(a, {"GetInfo"}).exitCode, 0);
    const std::string proc = "/proc/" + std::to_string(a.pid);
    int checked = 0;
    for (int fd = 3; fd < 1024; fd++) {
        // Only what the agent opened itself: the test runner may hand down
        // descriptors of its own.
        char target[4096];
        const ssize_t n =
            readlink((proc + "/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string what(target, size_t(n));
        if (what.compare(0, 7, "socket:") != 0 && what.compare(0, 11, "anon_inode:") != 0 &&
            what.compare(0, a.dir.size(), a.dir) != 0)
            continue;
        std::ifstream info(proc + "/fdinfo/" + std::to_string(fd));
        std::string key, flags;
        while (info >> key && key != "flags:") {
        }
        info >> flags;
        EXPECT_NE(std::stoul(flags, nullptr, 8) & 02000000, 0u) << "descriptor " << fd;
        checked++;
    }
    // The listening socket, the held session and the main loop's and the
    // accepting threads' wake-up descriptors at least.
    EXPECT_GE(checked, 4);
}

}  // namespace
