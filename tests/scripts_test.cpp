// The shipped settings scripts (etc/scripts), run against this test's own
// processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "agent_harness.h"

namespace {

const std::string kScripts = TEV_TESTDATA "/../../etc/scripts/";

struct Output {
    int exitCode;
    std::string text;
};

// One line of proclist.sh: "PID USER CPU.D RSS COMMAND LINE". std::regex is
// not used for it: its matcher recurses once per character and overflows the
// stack on the long command lines some hosts run.
struct ProcLine {
    std::string pid, command;
};

bool AllDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Splits off the four leading fields (single blanks between them) and checks
// their forms; false when the line does not have that shape.
bool ParseProcLine(const std::string& line, ProcLine& out) {
    std::string fields[4];
    size_t at = 0;
    for (std::string& f : fields) {
        const size_t blank = line.find(' ', at);
        if (blank == std::string::npos) return false;
        f = line.substr(at, blank - at);
        at = blank + 1;
    }
    const size_t dot = fields[2].find('.');
    const bool cpuOk = dot != std::string::npos && dot + 2 == fields[2].size() &&
                       AllDigits(fields[2].substr(0, dot)) && AllDigits(fields[2].substr(dot + 1));
    if (!AllDigits(fields[0]) || fields[1].empty() || !cpuOk || !AllDigits(fields[3])) return false;
    if (at >= line.size()) return false;
    out.pid = fields[0];
    out.command = line.substr(at);
    return true;
}

// Runs a shipped script with one argument (none when arg is null).
Output RunScript(const std::string& script, const char* arg) {
    Output out{-1, ""};
    std::string cmd = "'" + kScripts + script + "'";
    if (arg != nullptr) cmd += std::string(" '") + arg + "'";
    cmd += " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "re");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.text.append(buf, n);
    out.exitCode = agent_harness_detail::DecodeStatus(pclose(p));
    return out;
}

// Copies of /bin/sleep under chosen names, running until the fixture ends.
class ShippedScripts : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tev_scripts_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        const std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    // Starts `count` processes running a copy of sleep called name.
    void StartSleeps(const std::string& name, int count) {
        const std::string prog = dir + "/" + name;
        if (access(prog.c_str(), X_OK) != 0) {
            const std::string copy = "cp /bin/sleep '" + prog + "'";
            ASSERT_EQ(system(copy.c_str()), 0);
        }
        for (int i = 0; i < count; i++) {
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            pids.push_back(agent_harness_detail::Spawn(prog, {"60"}, null, null));
            close(null);
            ASSERT_GT(pids.back(), 0);
        }
    }
    std::string dir;
    std::vector<pid_t> pids;
};

TEST_F(ShippedScripts, ProcessCountMatchesNamesExactly) {
    const std::string tag = agent_harness_detail::RandomHex(3);
    const std::string shortName = "tevsl" + tag;                  // 11 characters
    const std::string longName = "tevlong" + tag + "-sleeper";    // 21: the kernel keeps 15
    const std::string longTwin = "tevlong" + tag + "-other-one";  // same first 15
    StartSleeps(shortName, 3);
    StartSleeps(longName, 2);
    StartSleeps(longTwin, 1);
    struct Case {
        std::string name;
        std::string count;
    } cases[] = {
        {shortName, "3\n"},
        {longName, "2\n"},
        {longTwin, "1\n"},
        {"tevsl" + tag.substr(0, 5), "0\n"},  // a prefix is no match
        {"tevsl.*", "0\n"},                   // nor a pattern
        {"tevsl" + tag + "?", "0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Output out = RunScript("proccnt.sh", c.name.c_str());
        EXPECT_EQ(out.exitCode, 0);
        EXPECT_EQ(out.text, c.count);
    }
    EXPECT_EQ(RunScript("proccnt.sh", nullptr).exitCode, 2);
    EXPECT_EQ(RunScript("proccnt.sh", "").exitCode, 2);
}

TEST_F(ShippedScripts, ProcessListHasOneLinePerProcess) {
    const std::string name = "tevls" + agent_harness_detail::RandomHex(3);
    StartSleeps(name, 3);
    // Programs whose names hold line breaks and tabs still take one line.
    const std::string odd = name + "\nsecond\tline\r";
    StartSleeps(odd, 1);
    const Output out = RunScript("proclist.sh", nullptr);
    EXPECT_EQ(out.exitCode, 0);
    std::istringstream in(out.text);
    std::string l;
    int lines = 0, ours = 0, odds = 0;
    while (std::getline(in, l)) {
        lines++;
        ProcLine m;
        ASSERT_TRUE(ParseProcLine(l, m)) << l;
        for (size_t i = 0; i < pids.size(); i++) {
            if (m.pid != std::to_string(pids[i])) continue;
            if (i < 3) {
                ours++;
                EXPECT_EQ(m.command, dir + "/" + name + " 60");
            } else {
                odds++;
                EXPECT_EQ(m.command, dir + "/" + name + " second line  60");
            }
        }
    }
    EXPECT_EQ(ours, 3);
    EXPECT_EQ(odds, 1);
    EXPECT_GE(lines, 4);
    EXPECT_EQ(out.text.back(), '\n');
}

TEST_F(ShippedScripts, CpuUsageIsAPercentage) {
    const Output out = RunScript("cpuusage.sh", nullptr);
    EXPECT_EQ(out.exitCode, 0);
    ASSERT_TRUE(std::regex_match(out.text, std::regex("[0-9]+\\.[0-9]\n"))) << out.text;
    const double usage = atof(out.text.c_str());
    EXPECT_GE(usage, 0.0);
    EXPECT_LE(usage, 100.0);
}

}  // namespace
