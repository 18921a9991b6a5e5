// The rights that run programs fail closed and are said where operators
// look: a mistyped right's key stops the start, a reload and `tev --check`;
// the rights that are on are listed with where each came from; a reload
// that fails, a SetSettings name the agent does not know and the arguments
// after the configuration file are reported.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "agent_harness.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A key within two letters of a right that runs programs (or of an action)
// would leave the right at its default: refused, with line, key and right.
TEST(CfgRightsE2E, MistypedRightStopsStartCheckAndReload) {
    struct Case {
        std::string line, right;
    } cases[] = {
        {"externel=0", "external"},        {"shelscript=0", "shellscript"},
        {"AllowUpdate=0", "allowupdates"}, {"executeactoin=1", "executeaction"},
        {"tcpudpactn=1", "tcpudpaction"},  {"syslogacton=1", "syslogaction"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        AgentHarness a;
        ASSERT_TRUE(a.Start("allowmanage=1\nmanageaddr=127.0.0.1\ncomment=first\n")) << a.Output();
        std::string key = c.line.substr(0, c.line.find('='));
        for (char& ch : key) ch = char(tolower(ch));
        const std::string refusal = "Line 7: " + key + c.line.substr(c.line.find('=')) +
                                    ": unknown key close to the right '" + c.right + "'";
        const std::string good = ReadWholeFile(a.cfgPath);
        WriteFile(a.cfgPath, good + c.line + "\ncomment=second\n");

        // Reload: "300" with the refusal, the settings in force stay, and
        // the log says why.
        const CtlResult reload = RunCtl(a, {"ReloadCfg"});
        EXPECT_EQ(reload.out.substr(0, 4), "300\n");
        EXPECT_TRUE(Contains(reload.out, refusal)) << reload.out;
        EXPECT_EQ(wire::Value(RunCtl(a, {"GetInfo"}).out, "Comment"), "first");
        EXPECT_TRUE(
            Contains(a.Output(), "Configuration reload failed, the settings in force stay:"))
            << a.Output();

        // --check: an error, exit code 1.
        const CtlResult check = RunProgramRaw(TEV_BINARY, {"--check", a.cfgPath});
        EXPECT_EQ(check.exitCode, 1) << check.out;
        EXPECT_TRUE(Contains(check.out, "Error: " + refusal)) << check.out;
        EXPECT_FALSE(Contains(check.out, "unknown key '" + key + "' in")) << check.out;

        // Start: exit code 1 naming the line, the right and the file.
        a.Kill();
        a.Wait(10000);
        ASSERT_TRUE(a.Launch({"-i", a.cfgPath}));
        EXPECT_EQ(a.Wait(10000), 1);
        EXPECT_TRUE(Contains(a.Output(), "Error\n  " + refusal)) << a.Output();
        EXPECT_TRUE(Contains(a.Output(), "Please check '" + a.cfgPath + "' file")) << a.Output();
    }
}

// The rights that run programs and are on, with their origin: in the
// verbose log at start and in `tev --check`.
TEST(CfgRightsE2E, RightsThatRunProgramsAreListedWithTheirOrigin) {
    AgentHarness a;
    // Lines 1-3 are tevpath, port and password.
    ASSERT_TRUE(a.Start("external=0\nshellscript=1\nexecuteaction=1\n", {"-i", "-v"}))
        << a.Output();
    const std::string listed =
        "shellscript=1 (line 5), executeaction=1 (line 6), allowupdates=1 (default: key absent)";
    EXPECT_TRUE(a.WaitForOutput("Rights that run programs: " + listed + "\n", 10000)) << a.Output();
    const CtlResult check = RunProgramRaw(TEV_BINARY, {"--check", a.cfgPath});
    EXPECT_TRUE(Contains(check.out,
                         "Rights that run programs:\n  shellscript=1 (line 5)\n"
                         "  executeaction=1 (line 6)\n"
                         "  allowupdates=1 (default: key absent)\n"))
        << check.out;
}

// `tev --check`: the sample's placeholder password is a warning; "builtin"
// needs no program file.
TEST(CfgRightsE2E, CheckWarnsOfThePlaceholderAndTakesBuiltin) {
    runstate::TempDir dir;
    const std::string base = std::string("tevpath=") + TEV_BINARY +
                             "\nport=31999\nexternal=0\nshellscript=0\nallowupdates=0\n"
                             "process=1\ncpuusage=1\nproccntscript=builtin\n"
                             "cpuusagescript=builtin\nproclistscript=builtin\n";
    struct Case {
        std::string password;
        int exitCode;
        std::string out;
    } cases[] = {
        {"s3cret", 0, "Rights that run programs: none on\n"},
        {"change-me", 3, "Warning: password is the sample's placeholder 'change-me'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.password);
        const std::string cfg =
            WriteFile(dir.path + "/tev.cfg", base + "password=" + c.password + "\n");
        const CtlResult r = RunProgramRaw(TEV_BINARY, {"--check", cfg});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_TRUE(Contains(r.out, c.out)) << r.out;
        EXPECT_FALSE(Contains(r.out, "script")) << r.out;
    }
}

// A reload by SIGHUP that fails writes its reason to the failure log, and
// the settings in force stay.
TEST(CfgRightsE2E, FailedSighupReloadIsLogged) {
    runstate::TempDir dir;
    const std::string failLog = dir.path + "/failure.log";
    runstate::Daemon d;
    ASSERT_TRUE(d.Start(dir.path, "logfails=1\nbadlogfile=" + failLog + "\ncomment=first\n"));
    WriteFile(d.cfg, ReadWholeFile(d.cfg) + "timeout=12x\ncomment=second\n");
    ASSERT_EQ(kill(d.pid, SIGHUP), 0);
    EXPECT_TRUE(runstate::WaitForFileText(failLog, "timeout=12x: not a whole number", 1, 20000))
        << ReadWholeFile(failLog);
    EXPECT_TRUE(Contains(ReadWholeFile(failLog), "Configuration reload failed"));
    EXPECT_EQ(wire::Value(d.Ctl({"GetInfo"}).out, "Comment"), "first");
}

// SetSettings names the agent does not know are logged as a warning; the
// reply is as the protocol has it.
TEST(CfgRightsE2E, UnknownSetSettingsNamesAreLogged) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("allowmanage=1\nmanageaddr=127.0.0.1\n")) << a.Output();
    EXPECT_EQ(RunCtl(a, {"SetSettings", "Comment=x", "Bogus Name=1", "Service=1"}).out, "200\n");
    const std::string out = a.Output();
    EXPECT_TRUE(Contains(out, "SetSettings: unknown setting name 'Bogus Name' in line 2 ignored"))
        << out;
    EXPECT_FALSE(Contains(out, "'Service'")) << out;  // other platforms' names are known
    EXPECT_EQ(wire::Value(RunCtl(a, {"GetInfo"}).out, "Comment"), "x");
}

// Arguments after the configuration file are named; their meaning does not
// change (the command line's order is fixed).
TEST(CfgRightsE2E, ArgumentsAfterTheFileAreNamed) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("", {"-i"})) << a.Output();
    a.Kill();
    a.Wait(10000);
    ASSERT_TRUE(a.Launch({"-i", a.cfgPath, "-v", "-p", "1"}));
    ASSERT_TRUE(a.WaitForOutput("Listening...", 10000)) << a.Output();
    EXPECT_TRUE(Contains(a.Output(), "tev: ignored after the configuration file: -v -p 1\n"))
        << a.Output();
    // Still on the file's port: "-p 1" was not taken.
    EXPECT_EQ(RunCtl(a, {"GetInfo"}).exitCode, 0);
}

}  // namespace
