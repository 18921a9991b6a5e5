// The operator's tools end to end: `tev --check` and `tev --test` on small
// configurations, the agent's warnings about unknown keys at start and on
// reload, the client's option order, hints and JSON against a real agent,
// and the bash completion run through bash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_harness.h"

namespace {

class ToolboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_toolbox_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        nftw(dir.c_str(), agent_harness_detail::RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    // Writes name in the directory: the required keys (port 31999, no
    // script-based rights, so no script is needed), then extra.
    std::string Config(const std::string& name, const std::string& extra) {
        return WriteFile(dir + "/" + name, std::string("tevpath=") + TEV_BINARY +
                                               "\nport=31999\npassword=pw\nprocess=0\n"
                                               "cpuusage=0\n" +
                                               extra);
    }
    CtlResult Tev(const std::vector<std::string>& args) { return RunProgramRaw(TEV_BINARY, args); }
    std::string dir;
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ToolboxTest, CheckTellsCleanTypoAndOutOfRange) {
    const std::string clean = Config("clean.cfg", "");
    const std::string typo = Config("typo.cfg", "tcpp=0\n");
    const std::string range = Config("range.cfg", "timeout=99999999999\n");
    const std::string port = WriteFile(
        dir + "/port.cfg", std::string("tevpath=") + TEV_BINARY + "\nport=70000\npassword=pw\n");
    const std::string noAgent =
        WriteFile(dir + "/noagent.cfg", "tevpath=/nonexistent/tev\nport=31999\npassword=pw\n");
    struct Case {
        std::string cfg;
        int exitCode;
        std::string part;
    } cases[] = {
        {clean, 0, clean + ": Ok\n"},
        // The message, then what it is about on a line of its own.
        {noAgent, 1,
         "Error: Invalid path to the agent!\n"
         "       tevpath=/nonexistent/tev: No such file or directory\n"},
        {typo, 3, "Warning: unknown key 'tcpp' in " + typo + " line 6 (did you mean 'tcp'?)\n"},
        {range, 1, "Error: Line 6: timeout=99999999999: must be from 1 to 2147483647"},
        {port, 1, "Error: Line 2: port=70000: must be from 1 to 65535"},
        {dir + "/absent.cfg", 1,
         "Error: Cannot open configuration file '" + dir +
             "/absent.cfg'\n       No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cfg);
        const CtlResult r = Tev({"--check", c.cfg});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_TRUE(Contains(r.out, c.part)) << r.out;
    }
}

TEST_F(ToolboxTest, LocalTestAnswersWithTheFilesRights) {
    const std::string cfg = Config("tev.cfg", "tcpp=0\nsyslogaction=0\n");
    struct Case {
        std::vector<std::string> request;
        int exitCode;
        std::string out;  // whole standard output, or its start when it ends in '*'
        std::string err;  // a part of standard error
    } cases[] = {
        {{"TEST-FileCRC", cfg}, 0, "200\n*", "unknown key 'tcpp'"},
        {{"ACT-Syslog", "127.0.0.1", "514", "1", "1", "x"},
         1,
         "600\noperation is not allowed\n",
         "tev: (setting syslogaction is 0)\n"},
        {{"TEST-FileExist", cfg},
         1,
         "500\nUnknown command \"TEST-FileExist\"\n",
         "tev: (did you mean 'TEST-FileExists'?)\n"},
        {{"TEST-CountFiles", dir, "*.cfg", "0", "0", ""}, 0, "200\n1\n", ""},
        {{"UpgradeCode", "1000"}, 2, "", "needs a running agent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request[0]);
        std::vector<std::string> args = {"--test", cfg};
        args.insert(args.end(), c.request.begin(), c.request.end());
        const CtlResult r = Tev(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        if (!c.out.empty() && c.out.back() == '*')
            EXPECT_EQ(r.out.compare(0, c.out.size() - 1, c.out, 0, c.out.size() - 1), 0) << r.out;
        else
            EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    }
    // Logging is off in a trial: the failure log beside the file stays away.
    EXPECT_NE(access((dir + "/log2.txt").c_str(), F_OK), 0);
    const CtlResult missing = Tev({"--test", dir + "/absent.cfg", "GetInfo"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(Contains(missing.err, "Cannot open configuration file")) << missing.err;
}

// One agent: its warnings at start and after ReloadCfg, then the client's
// option order, hints and JSON against it.
TEST(ToolboxAgentE2E, WarningsAndClientHints) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("fileexist=0\nno equals sign\n")) << a.Output();
    const std::string in = " in " + a.cfgPath + " line ";
    EXPECT_TRUE(Contains(
        a.Output(), "Warning: unknown key 'fileexist'" + in + "4 (did you mean 'fileexists'?)\n"))
        << a.Output();
    EXPECT_TRUE(Contains(a.Output(), "Warning: line without '='" + in + "5 (starts with 'no')\n"));

    WriteFile(a.cfgPath, agent_harness_detail::ReadWholeFile(a.cfgPath) + "tcpp=0\n");
    EXPECT_EQ(RunCtl(a, {"ReloadCfg"}).exitCode, 0);
    EXPECT_TRUE(a.WaitForOutput("unknown key 'tcpp'" + in + "6 (did you mean 'tcp'?)", 5000))
        << a.Output();

    const std::string port = std::to_string(a.port);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        std::string out;  // start of standard output
        std::string err;  // standard error
    } cases[] = {
        {"options after the request, JSON",
         {"GetInfo", "-p", port, "--json", "-w", a.password},
         0,
         "{\"host\":\"127.0.0.1\",\"request\":\"GetInfo\",\"code\":\"200\",\"values\":{"
         "\"AgentName\":\"Zo Farwatcher\",",
         ""},
        {"a parameter after --",
         {"-p", port, "-w", a.password, "TEST-FileExists", "--", "-x"},
         1,
         "301\n",
         ""},
        {"negative number without --",
         {"-p", port, "-w", a.password, "TEST-ExternalPrg", "true", "", "", "-1"},
         0,
         "200\n",
         ""},
        {"refusal names its setting",
         {"-p", port, "-w", a.password, "ACT-Syslog", "127.0.0.1", "514", "1", "1", "x"},
         1,
         "600\noperation is not allowed\n",
         "tevctl: (setting syslogaction is 0)\n"},
        {"unknown request",
         {"-p", port, "-w", a.password, "GetInf"},
         1,
         "500\n",
         "tevctl: (did you mean 'GetInfo'?)\n"},
        {"unknown option after the request",
         {"-p", port, "-w", a.password, "TEST-FileExists", "-x"},
         2,
         "",
         "tevctl: unknown option -x\n(a parameter that begins with '-' goes after '--')\n"
         "Try 'tevctl --help'.\n"},
        {"no password",
         {"-p", port, "GetInfo"},
         2,
         "",
         "tevctl: no password given (-w, -W or -c)\nTry 'tevctl --help'.\n"},
        {"version", {"--version"}, 0, "tevctl 1.29\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CtlResult r = RunCtlRaw(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_EQ(r.out.compare(0, c.out.size(), c.out), 0) << r.out;
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(RunCtl(a, {"QUIT"}).exitCode, 0);
    EXPECT_EQ(a.Wait(10000), 0);
}

TEST_F(ToolboxTest, CompletionOffersRequestsAndFiles) {
    WriteFile(dir + "/alpha.txt", "a");
    const std::string source = std::string(TEV_SOURCE_DIR) + "/packaging/bash-completion/tev";
    struct Case {
        std::string words;  // COMP_WORDS, the last one being completed
        std::string out;
    } cases[] = {
        {std::string(TEVCTL_BINARY) + " -W pw TEST-Fi",
         "TEST-FileExists\nTEST-FileCompare\nTEST-FileCRC\n"},
        {std::string(TEVCTL_BINARY) + " -W pw TEST-FileCRC " + dir + "/al", dir + "/alpha.txt\n"},
        {std::string(TEVCTL_BINARY) + " -W pw TEST-TCP " + dir + "/al", ""},  // a host
        {std::string(TEV_BINARY) + " --test " + dir + "/x.cfg GetIn", "GetInfo\n"},
        {std::string(TEV_BINARY) + " -u nobod", "nobody\n"},  // a user (every Debian has nobody)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words);
        const std::string script =
            "source '" + source + "'; COMP_WORDS=(" + c.words +
            "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
            "case ${COMP_WORDS[0]} in *tevctl) _tevctl_complete;; "
            "*) _tev_complete;; esac; "
            "[ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\\n' \"${COMPREPLY[@]}\"";
        const CtlResult r = RunProgramRaw("/bin/bash", {"--norc", "-c", script});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
}

}  // namespace
