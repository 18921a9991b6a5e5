// Log lines end to end: what peers send cannot glue two lines together or
// forge one, and the shipped fail2ban filter counts exactly the refusals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "agent_harness.h"
#include "runstate_util.h"
#include "wire_util.h"

namespace {

using agent_harness_detail::ReadWholeFile;

// Runs fail2ban-regex on log with the shipped filter; returns its report,
// or "" when it did not run.
std::string Fail2banRegex(const std::string& log, const std::string& report) {
    const int out = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return "";
    const pid_t pid = agent_harness_detail::Spawn(
        "/usr/bin/fail2ban-regex",
        {"--print-all-matched", log, std::string(TEV_SOURCE_DIR) + "/etc/fail2ban/tev.conf"}, out,
        out);
    close(out);
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return "";
    return ReadWholeFile(report);
}

// Two refusals from other addresses around two requests from the agent's
// own peer: a command name far longer than a line, and one holding a CR, a
// tab, a bell and a whole forged refusal line from an address that never
// connected.
TEST(LogLineE2E, LongAndControlCharacterCommandsNeitherGlueNorForgeLines) {
    AgentHarness a;
    ASSERT_TRUE(a.Start("logfails=1\nbadlogfile=bad.log\n"));
    const std::string log = a.dir + "/bad.log";
    const std::string forged =
        "X\x07\r[12/11/2026 08:00:00]\t 10.9.9.9\t Request refused: Wrong password or MD5 error";

    EXPECT_EQ(wire::Ask(a.port, "wrong", "GetInfo\n\r", "127.0.0.3", 5000), "");
    EXPECT_EQ(wire::Ask(a.port, a.password, std::string(900, 'A') + "\n\r").substr(0, 4), "500\n");
    EXPECT_EQ(wire::Ask(a.port, "wrong", "GetInfo\n\r", "127.0.0.2", 5000), "");
    EXPECT_EQ(wire::Ask(a.port, a.password, forged + "\n\r").substr(0, 4), "500\n");
    ASSERT_TRUE(runstate::WaitForFileText(log, "Unknown command \"X", 1, 10000))
        << ReadWholeFile(log);

    const std::string text = ReadWholeFile(log);
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
    EXPECT_NE(text.find("Unknown command \"X\\x07\\r[12/11/2026 08:00:00]\\t 10.9.9.9\\t Request "
                        "refused: Wrong password or MD5 error\"\n"),
              std::string::npos)
        << text;
    // Four messages, four lines, each a whole line of its own.
    EXPECT_EQ(runstate::Count(text, "\n"), 4) << text;
    EXPECT_EQ(runstate::Count(text, "\n["), 3) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("\t 127.0.0.2\t Request refused: Wrong password or MD5 error\n"),
              std::string::npos)
        << text;

    if (access("/usr/bin/fail2ban-regex", X_OK) != 0)
        GTEST_SKIP() << "fail2ban-regex is not installed (Debian package fail2ban)";
    const std::string report = Fail2banRegex(log, a.dir + "/f2b.txt");
    EXPECT_NE(report.find("2 matched"), std::string::npos) << report;
    EXPECT_NE(report.find("127.0.0.2"), std::string::npos) << report;
    EXPECT_NE(report.find("127.0.0.3"), std::string::npos) << report;
    EXPECT_EQ(report.find("10.9.9.9\t Request"), std::string::npos) << report;
}

}  // namespace
