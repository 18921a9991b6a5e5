// The agent against a hostile environment, end to end: numbers out of range
// wherever they come from, files that never end, refusals that must say
// why, and a silent connection's idle limit.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "agent_harness.h"
#include "protocol/clientpacket.h"
#include "sanitizer_flags.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::NowMs;
using agent_harness_detail::ReadWholeFile;

// Out-of-range and malformed numbers through the file (a start-up error,
// exit code 1, naming key, value and line), the command line and
// SetSettings: never wrapped, never taken.
TEST(RobustE2E, NumbersOutOfRangeAreRefusedEverywhere) {
    struct Case {
        const char* name;
        const char* fileLine;  // appended to a valid file; null: none
        const char* portArg;   // -p value; null: none
        const char* setting;   // SetSettings line; null: none
        const char* expect;    // in the start-up output or the reply
    } cases[] = {
        {"port above range in the file", "port=70000", nullptr, nullptr,
         "Line 4: port=70000: must be from 1 to 65535"},
        {"timeout that would wrap", "timeout=99999999999", nullptr, nullptr,
         "Line 4: timeout=99999999999: must be from 1 to 2147483647"},
        {"no number", "delayforscripts=90ms", nullptr, nullptr,
         "Line 4: delayforscripts=90ms: not a whole number"},
        {"stall limit below its range", "transferidle=10", nullptr, nullptr,
         "Line 4: transferidle=10: must be from 1000 to 3600000"},
        {"-p that would wrap to 1", nullptr, "4294967297", nullptr, "Invalid port number"},
        {"-p above range", nullptr, "65536", nullptr, "Invalid port number"},
        // Numbers too large for 32 bits are refused by the request's own
        // decoding already; they never reach the settings wrapped.
        {"SetSettings port that would wrap", nullptr, nullptr, "Port=4294967297",
         "501\nWrong parameter\n"},
        {"SetSettings timeout that would wrap", nullptr, nullptr, "Timeout=99999999999",
         "501\nWrong parameter\n"},
        {"SetSettings port above range", nullptr, nullptr, "Port=70000",
         "300\nLine 1: Port=70000: must be from 1 to 65535\n"},
        {"SetSettings port of 0", nullptr, nullptr, "Port=0",
         "300\nLine 1: Port=0: must be from 1 to 65535\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AgentHarness a;
        if (c.setting) {
            ASSERT_TRUE(a.Start("allowmanage=1\nmanageaddr=127.0.0.1\ntimeout=1000\n"));
            const CtlResult r = RunCtl(a, {"SetSettings", c.setting});
            EXPECT_EQ(r.out, c.expect);
            EXPECT_EQ(RunCtl(a, {"GetInfo"}).out.find("Timeout=1000\n") != std::string::npos, true);
            continue;
        }
        // A valid file first, so the harness knows the port and password.
        ASSERT_TRUE(a.Start());
        a.Kill();
        a.Wait(5000);
        if (c.fileLine) {
            std::string cfg = ReadWholeFile(a.cfgPath);
            WriteFile(a.cfgPath, cfg + c.fileLine + "\n");
        }
        std::vector<std::string> args = {"-i"};
        if (c.portArg) args.insert(args.end(), {"-p", c.portArg});
        args.push_back(a.cfgPath);
        ASSERT_TRUE(a.Launch(args));
        EXPECT_EQ(a.Wait(10000), 1);
        EXPECT_NE(a.Output().find(c.expect), std::string::npos) << a.Output();
    }
}

// ReloadCfg with a refused number answers "300" and keeps the settings.
TEST(RobustE2E, ReloadWithANumberOutOfRangeKeepsTheSettings) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("allowmanage=1\nmanageaddr=127.0.0.1\ntimeout=1000\n"));
    WriteFile(a.cfgPath, ReadWholeFile(a.cfgPath) + "timeout=99999999999\n");
    const CtlResult r = RunCtl(a, {"ReloadCfg"});
    EXPECT_EQ(r.out.substr(0, 4), "300\n");
    EXPECT_NE(r.out.find("timeout=99999999999: must be from 1 to 2147483647"), std::string::npos)
        << r.out;
    EXPECT_NE(RunCtl(a, {"GetInfo"}).out.find("Timeout=1000\n"), std::string::npos);
}

// Every reader of a file to its end: what has no end answers as an
// unreadable file does, at once; a pseudo-file of size 0 is read.
TEST(RobustE2E, FilesWithoutAnEndAreRefusedAtOnce) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("filecrc=1\ncomparefiles=1\ntextlog=1\n"));
    const std::string fifo = a.dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> request;
        const char* reply;
    } cases[] = {
        {{"TEST-FileCRC", "/dev/zero"}, "301\nCannot open file\n"},
        {{"TEST-FileCRC", fifo}, "301\nCannot open file\n"},
        {{"TEST-FileCompare", "1", "/dev/zero", "/dev/zero"}, "301\nFile doesn`t exist\n"},
        {{"TEST-FileCompare", "2", "/etc/hostname", "/dev/zero"}, "301\nFile doesn`t exist\n"},
        {{"TEST-FileCompare", "3", fifo, "abc", "0", "0"}, "301\nFile doesn`t exist\n"},
        {{"TEST-FileCompare", "3", "/proc/self/status", "Name", "0", "0"}, "200\n1\n"},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const std::string& p : c.request) name += p + " ";
        SCOPED_TRACE(name);
        const long long t0 = NowMs();
        EXPECT_EQ(RunCtl(a, c.request).out, c.reply);
        EXPECT_LT(NowMs() - t0, 5000);
    }
    const CtlResult proc = RunCtl(a, {"TEST-FileCRC", "/proc/self/status"});
    EXPECT_EQ(proc.out.substr(0, 4), "200\n");
}

// A wrong password and a short session key: the known line, then one
// failure line per attempt naming the reason, in the failure log and in
// the verbose log, in the form the shipped fail2ban filter matches.
TEST(RobustE2E, RefusalsNameTheirReasonInTheFailureLog) {
    AgentHarness a;
    ASSERT_TRUE(
        a.Start("logfails=1\nbadlogfile=bad.log\nverboselogfile=verbose.log\n", {"-i", "-v"}));
    const String body = BuildRequestBody(String("GetInfo"), TStrList());
    const String wrongPassword =
        BuildRequestPacket(String("not-the-password"), String("0123456789abcdef"), body);
    const String shortKey = BuildRequestPacket(String(a.password.c_str()), String("abcd"), body);
    for (const String* p : {&wrongPassword, &shortKey}) {
        bool closed = false;
        EXPECT_EQ(SendRaw(a.port, wire::Std(*p), 5000, &closed), "");
        EXPECT_TRUE(closed);
    }
    ASSERT_TRUE(a.WaitForOutput("Session key too short", 5000));
    const std::string bad = ReadWholeFile(a.dir + "/bad.log");
    const std::string lines[] = {
        "\t 127.0.0.1\t Request refused: Wrong password or MD5 error\n",
        "\t 127.0.0.1\t Request refused: Session key too short (4 bytes)\n",
    };
    for (const std::string& line : lines) {
        EXPECT_NE(bad.find(line), std::string::npos) << bad;
        EXPECT_NE(ReadWholeFile(a.dir + "/verbose.log").find(line), std::string::npos);
    }
    EXPECT_NE(a.Output().find("<-- Invalid QV request received\n"), std::string::npos);

    if (access("/usr/bin/fail2ban-regex", X_OK) != 0) {
        GTEST_SKIP() << "fail2ban-regex is not installed (Debian package fail2ban)";
    }
    const std::string report = a.dir + "/f2b.txt";
    const int out = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = agent_harness_detail::Spawn(
        "/usr/bin/fail2ban-regex",
        {a.dir + "/bad.log", std::string(TEV_SOURCE_DIR) + "/etc/fail2ban/tev.conf"}, out, out);
    close(out);
    int status = 0;
    ASSERT_GT(pid, 0);
    waitpid(pid, &status, 0);
    EXPECT_NE(ReadWholeFile(report).find("2 matched"), std::string::npos) << ReadWholeFile(report);
}

// timeout=1000: a silent connection is closed about a second after it
// was made, not a second after the kernel's deferred accept let it in.
TEST(RobustE2E, IdleLimitCountsFromTheArrival) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("timeout=1000\n"));
    wire::Connection conn(a.port);
    ASSERT_TRUE(conn.Ok());
    const long long t0 = NowMs();
    bool closed = false;
    conn.Receive(6000, &closed);
    const long long held = NowMs() - t0;
    EXPECT_TRUE(closed);
    EXPECT_GE(held, 900);
    EXPECT_LE(held, 1700);
}

// An agent with little address space, asked for a script's output of more
// than that: the request ends with "300 Not enough memory", one message
// names it, and the agent serves the next request.
TEST(RobustE2E, ARequestThatRunsOutOfMemoryEndsAndTheAgentServesOn) {
#ifdef TEV_NO_RLIMIT_AS
    GTEST_SKIP() << "sanitizer runtimes reserve more address space than the limit allows";
#else
    AgentHarness a;
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 16UL << 20;
    // The limit and one malloc arena are inherited by the agent alone: the
    // test's own limit is back before it allocates again.
    setenv("MALLOC_ARENA_MAX", "1", 1);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
    const bool started = a.Start("shellscript=1\ntmpdir=.\n");
    setrlimit(RLIMIT_AS, &saved);
    unsetenv("MALLOC_ARENA_MAX");
    ASSERT_TRUE(started) << a.Output();
    // 15 MB in long lines (few appends: the string grows in small steps),
    // under the 16 MiB cap of a script's output.
    const std::string script = "yes " + std::string(400, '0') + " | head -c 15000000";
    const CtlResult r = RunCtl(
        a, {"-t", "120000", "TEST-ShellScript", "sh %script%", script, "", "0", "100000000"});
    EXPECT_EQ(r.out, "300\nNot enough memory\n") << r.err << a.Output();
    EXPECT_TRUE(a.WaitForOutput("Request ended: not enough memory", 5000)) << a.Output();
    EXPECT_EQ(RunCtl(a, {"GetInfo"}).out.substr(0, 4), "200\n");
#endif
}

}  // namespace
